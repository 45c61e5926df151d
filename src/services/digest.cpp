// The digest table and its computations. The low-level OpenSSL contexts are deprecated in 3.0 in
// favour of EVP, but EVP serves MD4 only through the legacy provider, whose loading would change
// the provider set of the TLS code in the same process; the contexts need no provider at all.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "services/digest.h"

#include <memory>
#include <string>
#include <unordered_map>

#include <openssl/md4.h>
#include <openssl/md5.h>
#include <openssl/ripemd.h>
#include <openssl/sha.h>
#include <zlib.h>

#include "text/conversion.h"
#include "text/units.h"

namespace digest {
namespace {

struct Context {
  int32_t algorithm = 0;
  // Set when data could not be fed (a text that could not be converted): the final then answers
  // the empty text instead of the value of incomplete data.
  bool spoiled = false;
  union {
    SHA_CTX sha1;
    MD4_CTX md4;
    MD5_CTX md5;
    RIPEMD160_CTX ripemd160;
    uint64_t checksum;
  } state;
};

std::unordered_map<uint32_t, std::unique_ptr<Context>> sDigestMap;
uint32_t sCounter = 0;

constexpr char kHex[] = "0123456789abcdef";
constexpr int kMaxValueBytes = 20;

bool initState(Context& context) {
  switch (context.algorithm) {
    case kSHA1:
    case kSHA1Too:
      return SHA1_Init(&context.state.sha1) == 1;
    case kMD4:
      return MD4_Init(&context.state.md4) == 1;
    case kMD5:
      return MD5_Init(&context.state.md5) == 1;
    case kRIPEMD160:
      return RIPEMD160_Init(&context.state.ripemd160) == 1;
    case kCRC32:
      context.state.checksum = crc32(0, nullptr, 0);
      return true;
    case kAdler32:
      context.state.checksum = adler32(0, nullptr, 0);
      return true;
    default:
      return false;
  }
}

void updateState(Context& context, const void* data, uint32_t length) {
  auto* bytes = static_cast<const Bytef*>(data);
  switch (context.algorithm) {
    case kSHA1:
    case kSHA1Too:
      SHA1_Update(&context.state.sha1, data, length);
      break;
    case kMD4:
      MD4_Update(&context.state.md4, data, length);
      break;
    case kMD5:
      MD5_Update(&context.state.md5, data, length);
      break;
    case kRIPEMD160:
      RIPEMD160_Update(&context.state.ripemd160, data, length);
      break;
    case kCRC32:
      context.state.checksum = crc32(context.state.checksum, bytes, length);
      break;
    case kAdler32:
      context.state.checksum = adler32(context.state.checksum, bytes, length);
      break;
  }
}

// Writes the value into out and answers its byte count; 0 when finishing failed.
int finishState(Context& context, unsigned char* out) {
  switch (context.algorithm) {
    case kSHA1:
    case kSHA1Too:
      return SHA1_Final(out, &context.state.sha1) == 1 ? SHA_DIGEST_LENGTH : 0;
    case kMD4:
      return MD4_Final(out, &context.state.md4) == 1 ? MD4_DIGEST_LENGTH : 0;
    case kMD5:
      return MD5_Final(out, &context.state.md5) == 1 ? MD5_DIGEST_LENGTH : 0;
    case kRIPEMD160:
      return RIPEMD160_Final(out, &context.state.ripemd160) == 1 ? RIPEMD160_DIGEST_LENGTH : 0;
    default:  // CRC-32 and Adler-32: the 32-bit value, most significant byte first
      for (int i = 0; i < 4; ++i)
        out[i] = static_cast<unsigned char>(context.state.checksum >> (24 - 8 * i));
      return 4;
  }
}

Context* find(int32_t id) {
  auto entry = sDigestMap.find(static_cast<uint32_t>(id));
  return entry == sDigestMap.end() ? nullptr : entry->second.get();
}

// Feeds bytes to the computation of the id; an unknown id takes nothing.
void update(int32_t id, const void* data, uint32_t length) {
  if (data == nullptr || length == 0) return;
  if (Context* context = find(id)) updateState(*context, data, length);
}

// Ids count up from 1, wrap after 4,294,967,295 back to 1 and skip those still in use.
uint32_t nextId() {
  do {
    if (++sCounter == 0) sCounter = 1;
  } while (sDigestMap.count(sCounter) != 0);
  return sCounter;
}

std::u16string hexOf(const unsigned char* bytes, int n) {
  std::u16string out;
  for (int i = 0; i < n; ++i) {
    out.push_back(static_cast<char16_t>(kHex[bytes[i] >> 4]));
    out.push_back(static_cast<char16_t>(kHex[bytes[i] & 15]));
  }
  return out;
}

}  // namespace

int32_t init(int32_t algorithm) {
  auto context = std::make_unique<Context>();
  context->algorithm = algorithm;
  if (!initState(*context)) return 0;
  uint32_t id = nextId();
  sDigestMap.emplace(id, std::move(context));
  return static_cast<int32_t>(id);
}

void add(int32_t id, const PA_Unistring& text, int32_t charsetFlag) {
  if (text.fString == nullptr || text.fLength <= 0) return;
  PA_4DCharSet charset = charsetFlag != 0 ? kCharSetUTF8 : kCharSet100;
  EncodedChars bytes = convertToChars(text.fString, text.fLength, charset);
  if (bytes.chars == nullptr || bytes.length <= 0) {
    // A text that is not empty gives at least one byte: none means the conversion failed, and
    // a value computed without the text would be wrong.
    if (Context* context = find(id)) context->spoiled = true;
    return;
  }
  update(id, bytes.chars, static_cast<uint32_t>(bytes.length));
}

void addBlob(int32_t id, HostHandle blob) {
  if (blob == nullptr) return;
  int32_t size = PA_GetHandleSize(blob);
  if (size <= 0) return;
  unique_handle_lock lock(blob);
  update(id, lock.data(), static_cast<uint32_t>(size));
}

void calc(int32_t id, bool finish, PA_Unistring& result) {
  auto entry = sDigestMap.find(static_cast<uint32_t>(id));
  if (entry == sDigestMap.end()) return setEmpty(result);
  std::unique_ptr<Context> context = std::move(entry->second);
  sDigestMap.erase(entry);
  unsigned char value[kMaxValueBytes] = {};
  int n = finish ? finishState(*context, value) : 0;
  if (n == 0 || context->spoiled) return setEmpty(result);
  setUnits(result, hexOf(value, n));
}

namespace testing {
void setLastId(uint32_t id) { sCounter = id; }
}  // namespace testing

}  // namespace digest
