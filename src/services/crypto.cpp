// Ciphers: libmcrypt's modules by name, in place on a host handle. ROT13: a table over bytes and
// the ASCII range of UTF-16 units.

#include "services/crypto.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <mcrypt.h>

#include "text/conversion.h"
#include "text/units.h"

namespace crypto {
namespace {

struct AlgorithmRow {
  int32_t id;
  const char* module;
  int32_t keySize;  // bytes of the key that count; 0: the module's own maximum
};

const AlgorithmRow sAlgorithms[] = {
    {1, "des", 0},        {2, "tripledes", 0},  {3, "threeway", 0},
    {8, "cast-128", 0},   {10, "twofish", 16},  {14, "blowfish", 16},
    {15, "blowfish", 24}, {16, "blowfish", 32}, {25, "rijndael-128", 32},
    {28, "enigma", 0},    {0, nullptr, 0},
};

const char* const sCipherModes[] = {"cbc", "ecb", "cfb", "ofb", "nofb", nullptr};
constexpr uint32_t kModeCount = 5;

const AlgorithmRow* findAlgorithm(int32_t id) {
  for (const AlgorithmRow* row = sAlgorithms; row->id != 0; ++row) {
    if (row->id == id) return row;
  }
  return nullptr;
}

struct ModuleCloser {
  void operator()(CRYPT_STREAM* module) const { mcrypt_module_close(module); }
};
using unique_module = std::unique_ptr<CRYPT_STREAM, ModuleCloser>;

// Keeps an initialised module's key schedule until the scope ends; the module is closed after
// it by its own holder, also when the library refused the key.
class ModuleSession {
 public:
  explicit ModuleSession(MCRYPT module) : module_(module) {}
  ~ModuleSession() { mcrypt_generic_deinit(module_); }
  ModuleSession(const ModuleSession&) = delete;
  ModuleSession& operator=(const ModuleSession&) = delete;

 private:
  MCRYPT module_;
};

EncodedChars bytesOf(const PA_Unistring& text, PA_4DCharSet charset) {
  return convertToChars(text.fString, std::max(text.fLength, 0), charset);
}

// The IV: n bytes for the mode, the given ones first, the rest zero.
std::vector<char> ivFor(MCRYPT module, const EncodedChars& given) {
  int n = mcrypt_enc_get_iv_size(module);
  std::vector<char> iv(static_cast<size_t>(std::max(n, 1)), '\0');
  if (n > 0 && given.chars != nullptr) {
    std::memcpy(iv.data(), given.chars, static_cast<size_t>(std::min(given.length, n)));
  }
  return iv;
}

// Completes the bytes with zeros to a whole number of blocks and encrypts them.
int encryptInPlace(MCRYPT module, HostHandle handle, int32_t size) {
  int64_t block = mcrypt_enc_get_block_size(module);
  int64_t padded = size;
  if (block >= 2 && size % block != 0) padded = size + block - size % block;
  // Sizes in 64 bits: a BLOB within a block of the largest size must not wrap.
  if (padded > kMaxLength) return kNoMemory;
  if (padded != size && !PA_SetHandleSize(handle, static_cast<int32_t>(padded))) return kNoMemory;
  unique_handle_lock lock(handle);
  std::memset(lock.data() + size, 0, static_cast<size_t>(padded - size));
  return mcrypt_generic(module, lock.data(), static_cast<int>(padded));
}

int decryptInPlace(MCRYPT module, HostHandle handle, int32_t size, bool textMode) {
  // The block modes cannot decrypt part of a block: refuse the bytes whole, as `openssl enc -d`
  // does, rather than decrypt the whole blocks and leave the rest as it was.
  if (mcrypt_enc_is_block_mode(module) == 1 && size % mcrypt_enc_get_block_size(module) != 0) {
    return kPartialBlock;
  }
  int code;
  int32_t kept = size;
  {
    unique_handle_lock lock(handle);
    code = mdecrypt_generic(module, lock.data(), size);
    if (textMode) {
      while (kept > 0 && lock.data()[kept - 1] == '\0') --kept;
    }
  }
  if (kept != size) PA_SetHandleSize(handle, kept);  // shrinking cannot be refused
  return code;
}

// ROT13 of one byte or ASCII unit: letters move 13 places within their case.
constexpr std::array<unsigned char, 256> makeRot13Table() {
  std::array<unsigned char, 256> table{};
  for (int c = 0; c < 256; ++c) {
    int upper = c & ~0x20;
    if (upper >= 'A' && upper <= 'M') {
      table[c] = static_cast<unsigned char>(c + 13);
    } else if (upper >= 'N' && upper <= 'Z') {
      table[c] = static_cast<unsigned char>(c - 13);
    } else {
      table[c] = static_cast<unsigned char>(c);
    }
  }
  return table;
}
constexpr std::array<unsigned char, 256> kRot13 = makeRot13Table();

}  // namespace

int doCryptBlob(HostHandle handle, const PA_Unistring& key, const PA_Unistring& iv,
                int32_t algorithm, int32_t mode, EEncryptDecrypt direction, PA_4DCharSet charset,
                bool textMode) {
  if (handle == nullptr) return kCryptOK;
  int32_t size = PA_GetHandleSize(handle);
  if (size <= 0) return kCryptOK;
  const AlgorithmRow* row = findAlgorithm(algorithm);
  if (row == nullptr) return kUnknownAlgorithm;
  if (static_cast<uint32_t>(mode) >= kModeCount) return kUnknownMode;
  unique_module module(mcrypt_module_open(const_cast<char*>(row->module), nullptr,
                                          const_cast<char*>(sCipherModes[mode]), nullptr));
  if (module == nullptr) return kCannotOpenCipher;

  EncodedChars keyBytes = bytesOf(key, charset);
  std::vector<char> ivBytes = ivFor(module.get(), bytesOf(iv, charset));
  int keySize = row->keySize != 0 ? row->keySize : mcrypt_enc_get_key_size(module.get());
  int keyLength = std::min(keyBytes.length, keySize);
  int code = mcrypt_generic_init(module.get(), keyBytes.chars, keyLength, ivBytes.data());
  if (code != 0) return code;  // a refused key leaves nothing to de-initialise
  ModuleSession session(module.get());
  if (direction == kEncrypt) return encryptInPlace(module.get(), handle, size);
  return decryptInPlace(module.get(), handle, size, textMode);
}

int encryptText(const PA_Unistring& text, const CipherParameters& cipher, PA_4DCharSet charset,
                HostHandle out) {
  if (text.fString == nullptr || text.fLength <= 0) return kCryptOK;
  EncodedChars bytes = bytesOf(text, charset);
  // A text that is not empty gives bytes: none means the conversion failed, and "encrypting"
  // nothing would report the loss of the text as success.
  int code = kNoMemory;
  if (bytes.chars != nullptr && bytes.length > 0 &&
      copyToHandle(bytes.chars, bytes.length, out) == bytes.length) {
    code = doCryptBlob(out, *cipher.key, *cipher.iv, cipher.algorithm, cipher.mode, kEncrypt,
                       charset, true);
  }
  // The plain bytes must not stay where the cipher bytes belong: a caller that does not look
  // at the code would store or send them.
  if (code != kCryptOK) PA_SetHandleSize(out, 0);  // shrinking cannot be refused
  return code;
}

int decryptText(HostHandle in, const CipherParameters& cipher, PA_4DCharSet charset,
                PA_Unistring& out) {
  if (in == nullptr || PA_GetHandleSize(in) <= 0) {
    setEmpty(out);
    return kCryptOK;
  }
  int code = doCryptBlob(in, *cipher.key, *cipher.iv, cipher.algorithm, cipher.mode, kDecrypt,
                         charset, true);
  // Bytes that were not decrypted are no plain text.
  if (code != kCryptOK) {
    setEmpty(out);
    return code;
  }
  int32_t size = PA_GetHandleSize(in);
  DecodedChars units;
  {
    unique_handle_lock lock(in);
    units = convertToUnicode(lock.data(), size, charset);
  }
  std::u16string text;
  if (units.chars != nullptr && units.length > 0) {
    text.assign(reinterpret_cast<const char16_t*>(units.chars), static_cast<size_t>(units.length));
  }
  setAllUnits(out, text);
  return code;
}

void rotate13Text(const PA_Unistring& text, PA_Unistring& result) {
  std::u16string units(unitsOf(text));
  for (char16_t& unit : units) {
    if (unit < 0x80) unit = kRot13[unit];
  }
  setAllUnits(result, units);
}

void rotate13Blob(HostHandle blob) {
  if (blob == nullptr) return;
  int32_t size = PA_GetHandleSize(blob);
  if (size <= 0) return;
  unique_handle_lock lock(blob);
  auto* bytes = reinterpret_cast<unsigned char*>(lock.data());
  for (int32_t i = 0; i < size; ++i) bytes[i] = kRot13[bytes[i]];
}

}  // namespace crypto
