// Ciphers through ZUV_EncryptBlob, ZUV_DecryptBlob, ZUV_EncryptText and ZUV_DecryptText,
// compared with `openssl enc` (AES-256) and with libgcrypt (every algorithm and mode, through
// python3's ctypes; 8-bit OFB, which no library offers, built from ECB), and ROT13 through
// ZUV_Rot13Text and ZUV_Rot13Blob, compared with `tr`.

#include "services/crypto.h"

#include <random>

#include <malloc.h>

#include "codecs/codecs_oracle.h"

namespace zuvtest {
namespace {

constexpr int kCBC = 0, kECB = 1, kCFB = 2, kOFB = 3, kNOFB = 4;

struct Algorithm {
  int id;
  int keySize;    // the key bytes that count
  int blockSize;  // also the IV size in every mode
};

const Algorithm kAlgorithms[] = {
    {1, 8, 8},   {2, 24, 8},  {8, 16, 8},  {10, 16, 16},
    {14, 16, 8}, {15, 24, 8}, {16, 32, 8}, {25, 32, 16},
};

// libgcrypt through ctypes. A line holds the id, the mode index, the key, the IV and the plain
// bytes, comma-separated in hexadecimal; the answer is the cipher text of the plain bytes
// completed with zeros, the key cut and the IV completed or cut as the plug-in does.
const char kGcryptOracle[] = R"(
import ctypes
g = ctypes.CDLL('libgcrypt.so.20')
g.gcry_check_version.restype = ctypes.c_char_p
g.gcry_check_version.argtypes = [ctypes.c_char_p]
g.gcry_check_version(None)
g.gcry_cipher_open.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_int, ctypes.c_int, ctypes.c_uint]
for f in ('gcry_cipher_setkey', 'gcry_cipher_setiv'):
    getattr(g, f).argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
g.gcry_cipher_encrypt.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p, ctypes.c_size_t]
g.gcry_cipher_close.argtypes = [ctypes.c_void_p]
# id: (gcrypt algorithm, key bytes, block bytes)
ALGORITHMS = {1: (302, 8, 8), 2: (2, 24, 8), 8: (3, 16, 8), 10: (303, 16, 16),
              14: (4, 16, 8), 15: (4, 24, 8), 16: (4, 32, 8), 25: (9, 32, 16)}
MODES = {0: 3, 1: 1, 2: 12, 4: 5}  # cbc, ecb, 8-bit cfb, full-block ofb

def crypt(algo, mode, key, iv, data):
    hd = ctypes.c_void_p()
    assert g.gcry_cipher_open(ctypes.byref(hd), algo, mode, 0) == 0
    assert g.gcry_cipher_setkey(hd, key, len(key)) == 0
    if mode != 1:
        assert g.gcry_cipher_setiv(hd, iv, len(iv)) == 0
    buf = ctypes.create_string_buffer(data, len(data))
    assert g.gcry_cipher_encrypt(hd, buf, len(data), None, 0) == 0
    g.gcry_cipher_close(hd)
    return buf.raw

def ofb8(algo, key, iv, data):
    register, out = iv, bytearray()
    for byte in data:
        k = crypt(algo, 1, key, b'', register)[0]
        out.append(byte ^ k)
        register = register[1:] + bytes([k])
    return bytes(out)

for line in lines:
    ident, mode, key, iv, data = [bytes.fromhex(f.decode()) for f in line.split(b',')]
    algo, keysize, block = ALGORITHMS[int(ident)]
    mode = int(mode)
    key = key[:keysize]
    iv = (iv + bytes(block))[:block]
    data += bytes(-len(data) % block)
    out = ofb8(algo, key, iv, data) if mode == 3 else crypt(algo, MODES[mode], key, iv, data)
    print(out.hex())
)";

std::string printable(std::mt19937& random, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char>(33 + random() % 94));
  return out;
}

Bytes randomBytes(std::mt19937& random, size_t n) {
  Bytes out;
  for (size_t i = 0; i < n; ++i) out.push_back(static_cast<char>(random()));
  return out;
}

Bytes zeroPadded(Bytes bytes, size_t block) {
  bytes.resize((bytes.size() + block - 1) / block * block, '\0');
  return bytes;
}

class CryptoTest : public PluginTest {
 protected:
  struct Crypt {
    int64_t code;
    Bytes bytes;
  };
  Crypt blobCommand(const char* command, const Bytes& bytes, const std::string& key, int64_t id,
                    int64_t mode, const std::string& iv = "", int64_t utf8 = 1) {
    Outcome out = run(command, {blob(bytes), txt(key), num(id), num(mode), txt(iv), num(utf8)});
    return {out.number(), out.blob(1).bytes};
  }
  Crypt encrypt(const Bytes& bytes, const std::string& key, int64_t id, int64_t mode,
                const std::string& iv = "", int64_t utf8 = 1) {
    return blobCommand("ZUV_EncryptBlob", bytes, key, id, mode, iv, utf8);
  }
  Crypt decrypt(const Bytes& bytes, const std::string& key, int64_t id, int64_t mode,
                const std::string& iv = "", int64_t utf8 = 1) {
    return blobCommand("ZUV_DecryptBlob", bytes, key, id, mode, iv, utf8);
  }
  Crypt encryptText(const std::string& text, const std::string& key, int64_t id, int64_t mode,
                    const std::string& iv = "", int64_t utf8 = 1) {
    Outcome out = run("ZUV_EncryptText", {txt(text), txt(key), num(id), num(mode), txt(iv),
                                          blob("left over"), num(utf8)});
    return {out.number(), out.blob(6).bytes};
  }
  std::pair<int64_t, std::string> decryptText(const Bytes& bytes, const std::string& key,
                                              int64_t id, int64_t mode, const std::string& iv = "",
                                              int64_t utf8 = 1) {
    Outcome out = run("ZUV_DecryptText", {blob(bytes), txt(key), num(id), num(mode), txt(iv),
                                          txt("left over"), num(utf8)});
    return {out.number(), host::utf8(out.text(6))};
  }
};

TEST_F(CryptoTest, EveryAlgorithmAndModeMatchesLibgcrypt) {
  struct Case {
    Algorithm algorithm;
    int mode;
    std::string key, iv;
    Bytes plain;
  };
  std::mt19937 random(3611);
  const size_t sizes[] = {1, 7, 8, 9, 16, 17, 40, 1000};
  std::vector<Case> cases;
  std::vector<std::string> lines;
  for (const Algorithm& algorithm : kAlgorithms) {
    for (int mode = kCBC; mode <= kNOFB; ++mode) {
      for (int k = 0; k < 3; ++k) {
        // Keys at or past the key size (the surplus is cut), IVs of any length (completed with
        // zeros or cut).
        Case c{algorithm, mode, printable(random, algorithm.keySize + random() % 9),
               printable(random, random() % 21), randomBytes(random, sizes[random() % 8])};
        lines.push_back(hexOf(std::to_string(algorithm.id)) + "," + hexOf(std::to_string(mode)) +
                        "," + hexOf(c.key) + "," + hexOf(c.iv) + "," + hexOf(c.plain));
        cases.push_back(c);
      }
    }
  }
  std::vector<std::string> expected = runPython(kGcryptOracle, lines);
  ASSERT_EQ(expected.size(), cases.size()) << "libgcrypt through python3 failed";
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("id " + std::to_string(c.algorithm.id) + " mode " + std::to_string(c.mode) +
                 " size " + std::to_string(c.plain.size()));
    Crypt encrypted = encrypt(c.plain, c.key, c.algorithm.id, c.mode, c.iv);
    EXPECT_EQ(encrypted.code, 0);
    EXPECT_EQ(hexOf(encrypted.bytes), hexOf(expected[i]));
    Crypt decrypted = decrypt(encrypted.bytes, c.key, c.algorithm.id, c.mode, c.iv);
    EXPECT_EQ(decrypted.code, 0);
    EXPECT_EQ(decrypted.bytes, zeroPadded(c.plain, c.algorithm.blockSize))
        << "a BLOB keeps the zero bytes added at encryption";
  }
}

TEST_F(CryptoTest, Aes256MatchesOpensslEnc) {
  std::mt19937 random(2001);
  const std::pair<int, const char*> modes[] = {
      {kCBC, "aes-256-cbc"}, {kECB, "aes-256-ecb"}, {kCFB, "aes-256-cfb8"}, {kNOFB, "aes-256-ofb"}};
  for (const auto& [mode, cipher] : modes) {
    for (size_t size : {1, 16, 33, 4096}) {
      SCOPED_TRACE(std::string(cipher) + " " + std::to_string(size));
      std::string key = printable(random, 32), iv = printable(random, 16);
      Bytes plain = randomBytes(random, size);
      std::string command = std::string("openssl enc -") + cipher + " -nopad -K " + hexOf(key) +
                            (mode == kECB ? "" : " -iv " + hexOf(iv));
      Bytes expected = runTool(command, zeroPadded(plain, 16));
      ASSERT_EQ(expected.size(), zeroPadded(plain, 16).size()) << command;
      Crypt encrypted = encrypt(plain, key, 25, mode, iv);
      EXPECT_EQ(encrypted.code, 0);
      EXPECT_EQ(hexOf(encrypted.bytes), hexOf(expected));
    }
  }
}

TEST_F(CryptoTest, PlainBytesAreCompletedToWholeBlocks) {
  for (size_t size = 1; size <= 17; ++size) {
    SCOPED_TRACE(size);
    Crypt encrypted = encrypt(Bytes(size, 'x'), "8bytekey", 1, kCBC, "initvect");
    EXPECT_EQ(encrypted.code, 0);
    EXPECT_EQ(encrypted.bytes.size(), (size + 7) / 8 * 8);
  }
  // In the byte modes too: five bytes become eight in every mode.
  for (int mode = kCBC; mode <= kNOFB; ++mode) {
    EXPECT_EQ(encrypt("five!", "8bytekey", 1, mode).bytes.size(), 8u) << mode;
  }
}

TEST_F(CryptoTest, PartsOfBlocksAreRefusedInTheBlockModes) {
  // `openssl enc -d` refuses cipher bytes that are not whole blocks in CBC and ECB; so does the
  // plug-in, with a code of its own, leaving the bytes as they were.
  std::string key(32, 'k'), iv(16, 'i');
  for (const std::string& mode : {"cbc -iv " + hexOf(iv), std::string("ecb")}) {
    std::string command = "openssl enc -d -nopad -K " + hexOf(key) + " -aes-256-" + mode;
    int status = 0;
    runTool(command + " 2>/dev/null", Bytes(17, 'c'), &status);
    EXPECT_NE(status, 0) << command;
    runTool(command, Bytes(16, 'c'), &status);
    EXPECT_EQ(status, 0) << command;
  }
  Bytes thirteen = "thirteen byte";
  for (int mode : {kCBC, kECB}) {
    SCOPED_TRACE(mode);
    for (const auto& [id, bytes] : {std::pair<int, Bytes>{1, thirteen},
                                    {1, "five!"},
                                    {25, Bytes(17, 'c')},
                                    {14, Bytes(15, 'c')}}) {
      Crypt decrypted = decrypt(bytes, key, id, mode, iv);
      EXPECT_EQ(decrypted.code, crypto::kPartialBlock) << id << " " << bytes.size();
      EXPECT_EQ(decrypted.bytes, bytes);
    }
    Outcome text = run("ZUV_DecryptText", {blob(thirteen), txt("8bytekey"), num(1), num(mode),
                                           txt(""), txt("left over"), num(1)});
    EXPECT_EQ(text.number(), crypto::kPartialBlock);
    EXPECT_EQ(text.blob(1).bytes, thirteen);
    EXPECT_EQ(text.text(6), u"") << "bytes that were not decrypted are no plain text";
  }
  // The byte modes decrypt any number of bytes.
  for (int mode : {kCFB, kOFB, kNOFB}) {
    Crypt decrypted = decrypt(thirteen, "8bytekey", 1, mode);
    EXPECT_EQ(decrypted.code, 0) << mode;
    EXPECT_EQ(decrypted.bytes.size(), thirteen.size()) << mode;
    EXPECT_NE(decrypted.bytes, thirteen) << mode;
  }
}

TEST_F(CryptoTest, TextDecryptionDropsTrailingZeroBytes) {
  Bytes plain = std::string("ab\0\0", 4);
  Crypt encrypted = encrypt(plain, "key", 14, kCBC);
  ASSERT_EQ(encrypted.code, 0);
  EXPECT_EQ(decrypt(encrypted.bytes, "key", 14, kCBC).bytes, Bytes("ab\0\0\0\0\0\0", 8));
  auto [code, text] = decryptText(encrypted.bytes, "key", 14, kCBC);
  EXPECT_EQ(code, 0);
  EXPECT_EQ(text, "ab");
  // And the BLOB of ZUV_DecryptText keeps only the plain bytes.
  Outcome out = run("ZUV_DecryptText", {blob(encrypted.bytes), txt("key"), num(14), num(kCBC),
                                        txt(""), txt(""), num(1)});
  EXPECT_EQ(out.blob(1).bytes, "ab");
}

TEST_F(CryptoTest, TextsRoundTripInBothCharacterSets) {
  const std::string texts[] = {"Hello, World!", "caf\u00e9 cr\u00e8me br\u00fbl\u00e9e",
                               std::string(1000, 'z')};
  for (int64_t utf8 : {0, 1}) {
    for (const std::string& text : texts) {
      for (int mode = kCBC; mode <= kNOFB; ++mode) {
        SCOPED_TRACE(text.substr(0, 20) + " " + std::to_string(utf8) + " " + std::to_string(mode));
        Crypt encrypted = encryptText(text, "s\u00e9cret", 25, mode, "iv", utf8);
        EXPECT_EQ(encrypted.code, 0);
        Bytes plainBytes = utf8 ? text : host::Emulator::convert(text, 7, 100);
        EXPECT_EQ(encrypted.bytes, encrypt(plainBytes, "s\u00e9cret", 25, mode, "iv", utf8).bytes);
        EXPECT_EQ(decryptText(encrypted.bytes, "s\u00e9cret", 25, mode, "iv", utf8),
                  std::make_pair(int64_t{0}, text));
      }
    }
  }
}

TEST_F(CryptoTest, KeyAndIVFollowTheCharacterSetFlag) {
  // "é" is C3 A9 in UTF-8 and 8E in Mac OS Roman: two different keys, and two different IVs.
  Bytes plain = "sixteen bytes!!!";
  Crypt utf8 = encrypt(plain, "cl\u00e9", 14, kCBC, "", 1);
  Crypt roman = encrypt(plain, "cl\u00e9", 14, kCBC, "", 0);
  EXPECT_NE(utf8.bytes, roman.bytes);
  EXPECT_EQ(roman.bytes, encrypt(plain, "cl\u00e9", 14, kCBC, "", 0).bytes);
  EXPECT_NE(encrypt(plain, "key", 14, kCBC, "\u00e9", 1).bytes,
            encrypt(plain, "key", 14, kCBC, "\u00e9", 0).bytes);
}

TEST_F(CryptoTest, KeysAreCutToTheKeySize) {
  std::string key = "0123456789abcdefGHIJKLMNOPQRSTUVwxyz";
  Bytes plain = "sixteen bytes!!!";
  // Only the first 16 bytes count for id 14, 24 for id 15 and 32 for id 16.
  EXPECT_EQ(encrypt(plain, key, 14, kCBC).bytes, encrypt(plain, key.substr(0, 16), 14, kCBC).bytes);
  EXPECT_EQ(encrypt(plain, key, 15, kCBC).bytes, encrypt(plain, key.substr(0, 24), 15, kCBC).bytes);
  EXPECT_EQ(encrypt(plain, key, 16, kCBC).bytes, encrypt(plain, key.substr(0, 32), 16, kCBC).bytes);
  EXPECT_NE(encrypt(plain, key, 14, kCBC).bytes, encrypt(plain, key, 15, kCBC).bytes);
  EXPECT_NE(encrypt(plain, key, 15, kCBC).bytes, encrypt(plain, key, 16, kCBC).bytes);
  // ECB has no use for the IV.
  EXPECT_EQ(encrypt(plain, key, 14, kECB, "one").bytes, encrypt(plain, key, 14, kECB, "two").bytes);
}

TEST_F(CryptoTest, CodesComeInTheirOrder) {
  struct Case {
    Bytes bytes;
    int64_t id, mode, code;
  };
  const Case cases[] = {
      {"", 0, 9, 0},    // an empty BLOB, whatever the id and mode
      {"x", 0, 9, -2},  // a bad id before a bad mode
      {"x", -1, kCBC, -2},  {"x", 4, kCBC, -2}, {"x", 29, kCBC, -2},
      {"x", 1, 5, -4},      {"x", 1, -1, -4},   {"x", 28, kCBC, -1},  // enigma: no block mode
      {"x", 28, kNOFB, -1}, {"x", 3, kECB, -1},  // threeway: not in the library
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.id) + " " + std::to_string(c.mode));
    for (const char* command : {"ZUV_EncryptBlob", "ZUV_DecryptBlob"}) {
      Crypt out = blobCommand(command, c.bytes, "key", c.id, c.mode);
      EXPECT_EQ(out.code, c.code) << command;
      EXPECT_EQ(out.bytes, c.bytes) << command;
    }
  }
  Outcome missing = run("ZUV_EncryptBlob", {noHandleBlob(), txt("key"), num(0), num(9)});
  EXPECT_EQ(missing.number(), 0);
}

TEST_F(CryptoTest, EmptyKeyAnswersTheLibrarysCode) {
  for (const char* command : {"ZUV_EncryptBlob", "ZUV_DecryptBlob"}) {
    SCOPED_TRACE(command);
    Crypt out = blobCommand(command, "unchanged", "", 25, kCBC);
    EXPECT_EQ(out.code, -3);
    EXPECT_EQ(out.bytes, "unchanged");
  }
  Crypt text = encryptText("plain", "", 25, kCBC);
  EXPECT_EQ(text.code, -3);
  EXPECT_EQ(text.bytes, "") << "no plain bytes where the cipher bytes belong";
  EXPECT_EQ(decryptText("raw bytes", "", 25, kCBC), std::make_pair(int64_t{-3}, std::string()))
      << "no cipher bytes where the plain text belongs";
}

TEST_F(CryptoTest, FailedTextEncryptionLeavesAnEmptyBlob) {
  // Whatever the failure, a caller that stores or sends the BLOB without looking at the code
  // must not give the plain text away.
  struct Case {
    const char* key;
    int64_t id, mode, code;
  };
  const Case cases[] = {
      {"key", 29, kCBC, -2}, {"key", 14, 7, -4}, {"key", 3, kCBC, -1}, {"", 14, kCBC, -3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    Crypt out = encryptText("plain text", c.key, c.id, c.mode);
    EXPECT_EQ(out.code, c.code);
    EXPECT_EQ(out.bytes, "");
    Outcome fresh = run("ZUV_EncryptText", {txt("plain text"), txt(c.key), num(c.id), num(c.mode),
                                            txt(""), noHandleBlob(), num(1)});
    EXPECT_EQ(fresh.number(), c.code);
    EXPECT_EQ(fresh.blob(6).bytes, "");
  }
}

TEST_F(CryptoTest, TextsWithU0000ComeBackWhole) {
  Bytes plain("ab\0cd", 5);
  Crypt encrypted = encrypt(plain, "8bytekey", 1, kCBC);
  ASSERT_EQ(encrypted.code, 0);
  EXPECT_EQ(decryptText(encrypted.bytes, "8bytekey", 1, kCBC),
            std::make_pair(int64_t{0}, std::string(plain)));
  Crypt text = encryptText(std::string("\0payload", 8), "8bytekey", 1, kCBC);
  EXPECT_EQ(decryptText(text.bytes, "8bytekey", 1, kCBC),
            std::make_pair(int64_t{0}, std::string("\0payload", 8)));
  EXPECT_EQ(run("ZUV_Rot13Text", {Value{std::u16string(u"ab\0cd", 5)}}).text(),
            std::u16string(u"no\0pq", 5));
}

TEST_F(CryptoTest, ShortKeysAreCompletedWithZeroBytes) {
  // A 16-byte Triple DES key runs as three keys, the third of zero bytes, not as two-key Triple
  // DES; openssl's des-ede3-cbc given the key and eight zero bytes agrees.
  std::string key = "0123456789abcdef", iv = "initvect";
  Bytes plain = "sixteen bytes!!!";
  Crypt encrypted = encrypt(plain, key, 2, kCBC, iv);
  ASSERT_EQ(encrypted.code, 0);
  std::string ivHex = " -iv " + hexOf(iv);
  EXPECT_EQ(hexOf(encrypted.bytes), hexOf(runTool("openssl enc -des-ede3-cbc -nopad -K " +
                                                      hexOf(key) + std::string(16, '0') + ivHex,
                                                  plain)));
  EXPECT_NE(hexOf(encrypted.bytes),
            hexOf(runTool("openssl enc -des-ede-cbc -nopad -K " + hexOf(key) + ivHex, plain)));
  EXPECT_EQ(encrypted.bytes, encrypt(plain, key + std::string(8, '\0'), 2, kCBC, iv).bytes);
}

TEST_F(CryptoTest, EmptyTextsAndBlobsAnswerZero) {
  Crypt encrypted = encryptText("", "key", 25, kCBC);
  EXPECT_EQ(encrypted.code, 0);
  EXPECT_EQ(encrypted.bytes, "");
  EXPECT_EQ(decryptText("", "key", 25, kCBC), std::make_pair(int64_t{0}, std::string()));
  Outcome noHandle = run("ZUV_EncryptText", {txt("plain"), txt("key"), num(25), num(kCBC), txt(""),
                                             noHandleBlob(), num(1)});
  EXPECT_EQ(noHandle.number(), 0);
  EXPECT_EQ(noHandle.blob(6).bytes, encrypt("plain", "key", 25, kCBC).bytes);
  Outcome noBlob = run("ZUV_DecryptText", {noHandleBlob(), txt("key"), num(25), num(kCBC), txt(""),
                                           txt("left over"), num(1)});
  EXPECT_EQ(noBlob.number(), 0);
  EXPECT_EQ(noBlob.text(6), u"");
}

TEST_F(CryptoTest, RefusedKeysFreeTheCipherModule) {
  // A refused key must not leave the opened module behind: a method that retries with bad keys
  // would grow the heap without end.
  emu.run(1, [] {
    HostHandle handle = PA_NewHandle(5);
    PA_Unistring empty = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u""));
    auto refuse = [&] {
      EXPECT_EQ(crypto::doCryptBlob(handle, empty, empty, 14, kCBC, crypto::kEncrypt, kCharSetUTF8,
                                    false),
                -3);
    };
    for (int i = 0; i < 100; ++i) refuse();
    size_t before = mallinfo2().uordblks;
    for (int i = 0; i < 2000; ++i) refuse();
    size_t after = mallinfo2().uordblks;
    EXPECT_LT(after, before + 100 * 1024) << "heap grew from " << before << " to " << after;
    PA_DisposeUnistring(&empty);
    PA_DisposeHandle(handle);
  });
}

TEST_F(CryptoTest, PaddingPastTheLargestBlobAnswersNoMemory) {
  // A BLOB within a block of 2,147,483,647 bytes cannot be completed to a whole block. The
  // host's handle of that size costs no memory until written.
  emu.run(1, [] {
    HostHandle handle = PA_NewHandle(2147483645);
    ASSERT_NE(handle, nullptr);
    PA_Unistring key = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u"8bytekey"));
    PA_Unistring iv = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u""));
    EXPECT_EQ(crypto::doCryptBlob(handle, key, iv, 1, kCBC, crypto::kEncrypt, kCharSetUTF8, false),
              crypto::kNoMemory);
    EXPECT_EQ(PA_GetHandleSize(handle), 2147483645);
    PA_DisposeUnistring(&key);
    PA_DisposeUnistring(&iv);
    PA_DisposeHandle(handle);
  });
}

TEST_F(CryptoTest, HostRefusalsAnswerNoMemory) {
  // A BLOB the host will not grow to whole blocks stays as it was; a text that cannot be
  // converted is not "encrypted" as nothing with success.
  emu.refuse(host::Refusal::GrowHandle);
  Crypt grown = encrypt("seven b", "8bytekey", 1, kCBC);
  emu.clearRefusals();
  EXPECT_EQ(grown.code, 12);
  EXPECT_EQ(grown.bytes, "seven b");
  emu.refuse(host::Refusal::Conversion);
  Crypt converted = encryptText("plain", "key", 25, kCBC);
  emu.clearRefusals();
  EXPECT_EQ(converted.code, 12);
  EXPECT_EQ(converted.bytes, "");
}

TEST_F(CryptoTest, Rot13MatchesTr) {
  TextGenerator generator(13);
  for (int i = 0; i < 50; ++i) {
    std::string text = utf8Of(generator.text(200));
    SCOPED_TRACE(text);
    std::string expected = runTool("tr 'A-Za-z' 'N-ZA-Mn-za-m'", text);
    EXPECT_EQ(host::utf8(run("ZUV_Rot13Text", {txt(text)}).text()), expected);
    EXPECT_EQ(host::utf8(run("ZUV_Rot13Text", {txt(expected)}).text()), text) << "twice: the text";
  }
  EXPECT_EQ(host::utf8(run("ZUV_Rot13Text", {txt("Hello, World! 123 \u00e9\u00c9")}).text()),
            "Uryyb, Jbeyq! 123 \u00e9\u00c9");
  EXPECT_EQ(run("ZUV_Rot13Text", {txt("")}).text(), u"");
}

TEST_F(CryptoTest, Rot13BlobMovesOnlyASCIILetters) {
  Bytes all;
  for (int c = 0; c < 256; ++c) all.push_back(static_cast<char>(c));
  Bytes rotated = run("ZUV_Rot13Blob", {blob(all)}).blob(1).bytes;
  EXPECT_EQ(rotated, runTool("tr 'A-Za-z' 'N-ZA-Mn-za-m'", all));
  EXPECT_EQ(run("ZUV_Rot13Blob", {blob(rotated)}).blob(1).bytes, all);
  EXPECT_EQ(run("ZUV_Rot13Blob", {blob("")}).blob(1).bytes, "");
  EXPECT_FALSE(run("ZUV_Rot13Blob", {noHandleBlob()}).blob(1).hasHandle);
}

}  // namespace
}  // namespace zuvtest
