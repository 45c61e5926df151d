// Ciphers through ZUV_EncryptBlob, ZUV_DecryptBlob, ZUV_EncryptText and ZUV_DecryptText,
// compared with `openssl enc` (AES-256), with libgcrypt (every algorithm and mode, through
// python3's ctypes; 8-bit OFB, which no library offers, built from ECB) and with OpenSSL's
// libcrypto (every key length, as the cipher table of docs/constants.md gives it), and ROT13
// through ZUV_Rot13Text and ZUV_Rot13Blob, compared with `tr`.

#include "services/crypto.h"

#include <fstream>
#include <map>
#include <random>
#include <regex>

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

// The block cipher of each id with a key of any length it takes, encrypting one block: OpenSSL's
// libcrypto (its legacy provider for DES, CAST-128 and Blowfish, whose variable key lengths it
// sets as given), and libgcrypt for Twofish, which OpenSSL lacks. A line holds the id, the mode
// index, the key as it runs, the IV completed to a block and the plain bytes completed to whole
// blocks, comma-separated in hexadecimal; the modes are built on the block cipher as their
// definitions say.
const char kBlockCipherOracle[] = R"(
import ctypes
V, P, I = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int

def bind(library, name, result, *args):
    function = getattr(library, name)
    function.restype, function.argtypes = result, list(args)
    return function

ssl = ctypes.CDLL('libcrypto.so.3')
load = bind(ssl, 'OSSL_PROVIDER_load', V, V, P)
fetch = bind(ssl, 'EVP_CIPHER_fetch', V, V, P, P)
new_context = bind(ssl, 'EVP_CIPHER_CTX_new', V)
init = bind(ssl, 'EVP_EncryptInit_ex', I, V, V, V, P, P)
set_key_length = bind(ssl, 'EVP_CIPHER_CTX_set_key_length', I, V, I)
set_padding = bind(ssl, 'EVP_CIPHER_CTX_set_padding', I, V, I)
update = bind(ssl, 'EVP_EncryptUpdate', I, V, P, ctypes.POINTER(I), P, I)
assert load(None, b'legacy') and load(None, b'default')
gcrypt = ctypes.CDLL('libgcrypt.so.20')
bind(gcrypt, 'gcry_check_version', P, P)(None)
gcry_open = bind(gcrypt, 'gcry_cipher_open', I, ctypes.POINTER(V), I, I, ctypes.c_uint)
gcry_setkey = bind(gcrypt, 'gcry_cipher_setkey', I, V, P, ctypes.c_size_t)
gcry_encrypt = bind(gcrypt, 'gcry_cipher_encrypt', I, V, P, ctypes.c_size_t, P, ctypes.c_size_t)
OPENSSL = {1: 'DES', 2: 'DES-EDE3', 8: 'CAST5', 14: 'BF', 15: 'BF', 16: 'BF'}

def openssl_block(ident, key):
    name = 'AES-%d' % (8 * len(key)) if ident == 25 else OPENSSL[ident]
    context = new_context()
    cipher = fetch(None, (name + '-ECB').encode(), None)
    assert cipher and init(context, cipher, None, None, None) == 1, name
    assert set_key_length(context, len(key)) == 1, (name, len(key))
    assert init(context, None, None, key, None) == 1 and set_padding(context, 0) == 1
    def encrypt(block):
        out, n = ctypes.create_string_buffer(len(block) + 32), I()
        assert update(context, out, ctypes.byref(n), block, len(block)) == 1
        assert n.value == len(block)
        return out.raw[:n.value]
    return encrypt

def twofish_block(key):
    handle = V()
    assert gcry_open(ctypes.byref(handle), 303, 1, 0) == 0  # Twofish-128, ECB
    assert gcry_setkey(handle, key, len(key)) == 0
    def encrypt(block):
        buffer = ctypes.create_string_buffer(block, len(block))
        assert gcry_encrypt(handle, buffer, len(block), None, 0) == 0
        return buffer.raw
    return encrypt

def xor(a, b):
    return bytes(x ^ y for x, y in zip(a, b))

def run_mode(encrypt, mode, iv, data):
    n = len(iv)
    blocks = [data[i:i + n] for i in range(0, len(data), n)]
    if mode == 1:  # ECB
        return b''.join(encrypt(block) for block in blocks)
    if mode in (0, 4):  # CBC, OFB in whole blocks
        out, register = [], iv
        for block in blocks:
            if mode == 0:
                register = encrypt(xor(block, register))
                out.append(register)
            else:
                register = encrypt(register)
                out.append(xor(block, register))
        return b''.join(out)
    register, out = iv, bytearray()  # 8-bit CFB and OFB
    for byte in data:
        k = encrypt(register)[0]
        out.append(byte ^ k)
        register = register[1:] + bytes([out[-1] if mode == 2 else k])
    return bytes(out)

for line in lines:
    ident, mode, key, iv, data = [bytes.fromhex(f.decode()) for f in line.split(b',')]
    ident, mode = int(ident), int(mode)
    encrypt = twofish_block(key) if ident == 10 else openssl_block(ident, key)
    print(run_mode(encrypt, mode, iv, data).hex())
)";

// One row of the cipher table of docs/constants.md: its id and the key it runs with, read from
// the row's last cell. `sizes` are the key lengths the cipher runs with, smallest first; a key
// of another length is cut to the largest and completed with zero bytes to the next of them, or
// is kept as it is when the table says "as given".
struct CipherRow {
  int id = 0;
  std::string keyCell;
  bool available = false;
  bool asGiven = false;
  std::vector<size_t> sizes;
};

std::vector<std::string> tableCells(const std::string& row) {
  std::vector<std::string> cells;
  std::string cell;
  for (size_t i = 1; i < row.size(); ++i) {
    if (row[i] != '|') {
      cell += row[i];
      continue;
    }
    size_t first = cell.find_first_not_of(' ');
    cells.push_back(first == std::string::npos
                        ? ""
                        : cell.substr(first, cell.find_last_not_of(' ') - first + 1));
    cell.clear();
  }
  return cells;
}

// Reads "none: ...", "1 to N bytes, as given ..." and "A, B or C bytes...; a shorter key is
// completed with zero bytes ..."; false for a cell that says none of these.
bool readKeyCell(CipherRow& row) {
  const std::string& cell = row.keyCell;
  std::smatch match;
  if (cell.rfind("none", 0) == 0) return true;
  row.available = true;
  if (std::regex_search(cell, match, std::regex("^1 to ([0-9]+) bytes, as given"))) {
    row.asGiven = true;
    row.sizes = {std::stoul(match[1])};
    return true;
  }
  if (!std::regex_search(cell, match, std::regex("^([0-9]+((, [0-9]+)* or [0-9]+)?) bytes")) ||
      cell.find("a shorter key is completed with zero bytes") == std::string::npos) {
    return false;
  }
  std::string sizes = match[1];
  const std::regex number("[0-9]+");
  for (std::sregex_iterator it(sizes.begin(), sizes.end(), number), end; it != end; ++it) {
    row.sizes.push_back(std::stoul(it->str()));
  }
  return true;
}

std::vector<CipherRow> cipherTable() {
  std::ifstream in(std::string(ZUV_SOURCE_DIR) + "/docs/constants.md");
  std::vector<CipherRow> rows;
  bool inSection = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) inSection = line == "## Cipher ids and modes";
    if (!inSection || line.rfind("| ZUV ", 0) != 0) continue;
    std::vector<std::string> cells = tableCells(line);
    if (cells.size() != 4) continue;  // the table of modes
    CipherRow row;
    row.id = std::stoi(cells[1]);
    row.keyCell = cells[3];
    EXPECT_TRUE(readKeyCell(row)) << "id " << row.id << ": " << row.keyCell;
    rows.push_back(row);
  }
  return rows;
}

// The key that the row says the cipher runs with.
std::string keyRunWith(const CipherRow& row, std::string key) {
  key.resize(std::min(key.size(), row.sizes.back()));
  if (row.asGiven) return key;
  for (size_t size : row.sizes) {
    if (key.size() <= size) {
      key.resize(size, '\0');
      break;
    }
  }
  return key;
}

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

TEST_F(CryptoTest, EveryKeyRunsAsTheCipherTableSays) {
  std::vector<CipherRow> table = cipherTable();
  std::map<int, int> blockSizes;
  for (const Algorithm& algorithm : kAlgorithms) blockSizes[algorithm.id] = algorithm.blockSize;
  struct Case {
    int id, mode;
    std::string key, iv;
    Bytes plain, padded;
  };
  std::mt19937 random(3512);
  const size_t keyLengths[] = {1, 5, 7, 8, 10, 11, 15, 16, 17, 20, 24, 25, 31, 32, 33, 57};
  const size_t sizes[] = {1, 8, 13, 16, 40};
  std::vector<Case> cases;
  std::vector<std::string> lines;
  for (const CipherRow& row : table) {
    if (!row.available) continue;
    ASSERT_EQ(blockSizes.count(row.id), 1u) << "id " << row.id;
    size_t block = static_cast<size_t>(blockSizes[row.id]);
    for (size_t keyLength : keyLengths) {
      for (int mode = kCBC; mode <= kNOFB; ++mode) {
        Case c{row.id,
               mode,
               printable(random, keyLength),
               printable(random, random() % 21),
               randomBytes(random, sizes[random() % 5]),
               ""};
        c.padded = zeroPadded(c.plain, block);
        std::string iv =
            c.iv.substr(0, block) + std::string(block - std::min(block, c.iv.size()), '\0');
        lines.push_back(hexOf(std::to_string(c.id)) + "," + hexOf(std::to_string(mode)) + "," +
                        hexOf(keyRunWith(row, c.key)) + "," + hexOf(iv) + "," + hexOf(c.padded));
        cases.push_back(c);
      }
    }
  }
  ASSERT_GE(cases.size(), 8u * 16 * 5) << "every algorithm of the table that runs";
  std::vector<std::string> expected = runPython(kBlockCipherOracle, lines);
  ASSERT_EQ(expected.size(), cases.size()) << "the block cipher oracle through python3 failed";
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE("id " + std::to_string(c.id) + " mode " + std::to_string(c.mode) + " key of " +
                 std::to_string(c.key.size()) + " bytes");
    Crypt encrypted = encrypt(c.plain, c.key, c.id, c.mode, c.iv);
    EXPECT_EQ(encrypted.code, 0);
    EXPECT_EQ(hexOf(encrypted.bytes), hexOf(expected[i]));
    Crypt decrypted = decrypt(encrypted.bytes, c.key, c.id, c.mode, c.iv);
    EXPECT_EQ(decrypted.code, 0);
    EXPECT_EQ(decrypted.bytes, c.padded);
  }
}

TEST_F(CryptoTest, CiphersTheTableGivesNoKeyAnswerMinusOneInEveryMode) {
  std::vector<CipherRow> table = cipherTable();
  std::map<int, const CipherRow*> byId;
  for (const CipherRow& row : table) byId[row.id] = &row;
  // The table names every id the commands take, and no other.
  for (int id = -1; id <= 30; ++id) {
    SCOPED_TRACE(id);
    EXPECT_EQ(encrypt("x", "key", id, kCBC).code == crypto::kUnknownAlgorithm, byId.count(id) == 0);
  }
  int unavailable = 0;
  for (const CipherRow& row : table) {
    if (row.available) continue;
    ++unavailable;
    for (int mode = kCBC; mode <= kNOFB; ++mode) {
      SCOPED_TRACE("id " + std::to_string(row.id) + " mode " + std::to_string(mode));
      for (const char* command : {"ZUV_EncryptBlob", "ZUV_DecryptBlob"}) {
        Crypt out = blobCommand(command, "sixteen bytes!!!", "0123456789abcdef", row.id, mode);
        EXPECT_EQ(out.code, crypto::kCannotOpenCipher) << command;
        EXPECT_EQ(out.bytes, "sixteen bytes!!!") << command;
      }
      Crypt text = encryptText("plain", "0123456789abcdef", row.id, mode);
      EXPECT_EQ(text.code, crypto::kCannotOpenCipher);
      EXPECT_EQ(text.bytes, "");
      EXPECT_EQ(decryptText("sixteen bytes!!!", "0123456789abcdef", row.id, mode),
                std::make_pair(int64_t{crypto::kCannotOpenCipher}, std::string()));
    }
  }
  EXPECT_EQ(unavailable, 2) << "3-Way and Enigma";
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

TEST_F(CryptoTest, OpensslEncTakesTheKeysThatItCompletesAlike) {
  // `openssl enc -K` completes a short key with zero bytes to the cipher's key length: given
  // the key as it stands it agrees where the plug-in completes a key alike (DES, Triple DES,
  // AES at the length's size), and not for the Blowfish and CAST-128 keys that run as given.
  struct Case {
    int id;
    size_t keyLength;
    const char* cipher;
    bool agrees;
  };
  const Case cases[] = {{1, 5, "des-cbc", true},       {2, 16, "des-ede3-cbc", true},
                        {25, 5, "aes-128-cbc", true},  {25, 20, "aes-192-cbc", true},
                        {25, 32, "aes-256-cbc", true}, {8, 16, "cast5-cbc", true},
                        {14, 16, "bf-cbc", true},      {8, 5, "cast5-cbc", false},
                        {14, 5, "bf-cbc", false},      {15, 20, "bf-cbc", false}};
  std::mt19937 random(1414);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.cipher) + " with a key of " + std::to_string(c.keyLength));
    std::string key = printable(random, c.keyLength), iv = printable(random, 16);
    Bytes plain = randomBytes(random, 32);
    Crypt encrypted = encrypt(plain, key, c.id, kCBC, iv);
    ASSERT_EQ(encrypted.code, 0);
    std::string command = std::string("openssl enc -provider legacy -provider default -") +
                          c.cipher + " -nopad -K " + hexOf(key) + " -iv " + hexOf(iv) +
                          " 2>/dev/null";
    Bytes expected = runTool(command, plain);
    ASSERT_EQ(expected.size(), plain.size()) << command;
    EXPECT_EQ(hexOf(encrypted.bytes) == hexOf(expected), c.agrees);
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

TEST_F(CryptoTest, CharactersThatMacRomanLacksBecomeQuestionMarks) {
  // With the flag 0 a character outside Mac OS Roman (one outside the BMP too) becomes one "?",
  // in the text, the key and the IV alike, and the encryption answers 0: the text does not come
  // back whole.
  for (int mode : {kCBC, kCFB}) {
    SCOPED_TRACE(mode);
    Crypt lossy = encryptText("a\u0436b\U0001F600", "k\u0436y", 25, mode, "iv\u0436", 0);
    EXPECT_EQ(lossy.code, 0);
    EXPECT_EQ(lossy.bytes, encryptText("a?b?", "k?y", 25, mode, "iv?", 0).bytes);
    EXPECT_EQ(decryptText(lossy.bytes, "k\u0436y", 25, mode, "iv\u0436", 0),
              std::make_pair(int64_t{0}, std::string("a?b?")));
    Crypt whole = encryptText("a\u0436b\U0001F600", "k\u0436y", 25, mode, "iv\u0436", 1);
    EXPECT_EQ(decryptText(whole.bytes, "k\u0436y", 25, mode, "iv\u0436", 1),
              std::make_pair(int64_t{0}, std::string("a\u0436b\U0001F600")));
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

TEST_F(CryptoTest, TripleDesKeysAreCompletedWithZeroBytes) {
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
