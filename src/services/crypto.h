// Symmetric ciphers over libmcrypt, chosen by an algorithm id and a mode index, and ROT13.
// Serves ZUV_EncryptText, ZUV_DecryptText, ZUV_EncryptBlob, ZUV_DecryptBlob, ZUV_Rot13Text and
// ZUV_Rot13Blob. Every call opens, uses and closes its own cipher module: nothing is kept
// between calls, and nothing here yields.
//
// The plain bytes are completed with zero bytes to a whole number of cipher blocks in every
// mode (no PKCS#7 padding); a text decryption drops every trailing zero byte again. Key and IV
// are the bytes of their texts in the command's character set (UTF-8 or host character set
// 100), the key cut to the algorithm's key size, the IV completed with zero bytes or cut to the
// mode's IV size. libmcrypt completes a shorter key with zero bytes to the next key length its
// module knows (DES 8, Triple DES 24, Twofish and AES 16, 24 or 32, so AES runs AES-128, -192 or
// -256 by the key's length) and takes a Blowfish or CAST-128 key as given (CAST-128's lengths 5,
// 10 and 16 complete a key as its own key schedule does): a peer must use the same keys.
#pragma once

#include <cstdint>

#include "4DPluginAPI.h"

namespace crypto {

// Codes of the cipher commands; the library's own non-zero answers pass on as they are
// (libmcrypt answers -3 for a key length it refuses, an empty key among them).
constexpr int kCryptOK = 0;
constexpr int kCannotOpenCipher = -1;  // the library lacks the algorithm or refuses the mode
constexpr int kUnknownAlgorithm = -2;
constexpr int kUnknownMode = -4;
// Cipher bytes to decrypt in CBC or ECB that are not a whole number of blocks: they were cut
// or are no cipher text of this algorithm. The bytes stay as they were.
constexpr int kPartialBlock = -7;
// The padded bytes would pass 2,147,483,647, the host refused to grow the BLOB, or a text to
// encrypt could not be converted to bytes (the errno of "memory exhausted").
constexpr int kNoMemory = 12;

enum EEncryptDecrypt { kEncrypt = 0, kDecrypt = 1 };

// The key, algorithm, mode and IV of a cipher command; key and IV are never null.
struct CipherParameters {
  const PA_Unistring* key;
  int32_t algorithm;
  int32_t mode;
  const PA_Unistring* iv;
};

// Encrypts or decrypts the handle's bytes in place; textMode drops trailing zero bytes after a
// decryption. An empty or missing handle answers 0; on any failure the bytes stay as they were
// before the cipher ran. ZUV_EncryptText empties its BLOB after a failure, and ZUV_DecryptText
// its text.
int doCryptBlob(HostHandle handle, const PA_Unistring& key, const PA_Unistring& iv,
                int32_t algorithm, int32_t mode, EEncryptDecrypt direction, PA_4DCharSet charset,
                bool textMode);

// ZUV_EncryptText: the cipher bytes of the text in charset, written to out, an empty handle. An
// empty text answers 0 and leaves out empty; on a failure out ends empty too (kNoMemory for a
// text that could not be converted or copied).
int encryptText(const PA_Unistring& text, const CipherParameters& cipher, PA_4DCharSet charset,
                HostHandle out);
// ZUV_DecryptText: decrypts the handle's bytes in place and sets out to them read in charset,
// every trailing zero byte dropped; out ends empty for an empty or missing handle and on a
// failure.
int decryptText(HostHandle in, const CipherParameters& cipher, PA_4DCharSet charset,
                PA_Unistring& out);
// ZUV_Rot13Text: sets result to the text with its ASCII letters moved 13 places, unit for unit.
void rotate13Text(const PA_Unistring& text, PA_Unistring& result);
// ZUV_Rot13Blob: moves the ASCII letters among the BLOB's bytes 13 places, in place; nothing for
// a null handle.
void rotate13Blob(HostHandle blob);

}  // namespace crypto
