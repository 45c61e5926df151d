// Digests and checksums of texts and BLOBs fed one after another under an id: MD4, MD5, SHA-1
// and RIPEMD-160 (OpenSSL's low-level contexts, which need no provider), CRC-32 and Adler-32
// (zlib). Serves ZUV_DigestInit, ZUV_DigestAddText, ZUV_DigestAddBlob and ZUV_DigestFinal.
//
// State: one table of running computations, shared by every 4D process, from load to unload
// (shut-down leaves it alone); an id lives from its init to its final. No lock: the host runs
// one call at a time and nothing here yields.
#pragma once

#include <cstdint>

#include "4DPluginAPI.h"

namespace digest {

// Algorithm numbers, as 4D methods pass them.
constexpr int32_t kSHA1 = 1;
constexpr int32_t kMD4 = 4;
constexpr int32_t kMD5 = 5;
constexpr int32_t kSHA1Too = 9;
constexpr int32_t kRIPEMD160 = 10;
constexpr int32_t kCRC32 = 100;
constexpr int32_t kAdler32 = 101;

// ZUV_DigestInit: p1 algorithm; answers a new id, 0 for a number that names no algorithm.
void init(PluginBlock* block);
// ZUV_DigestAddText: p1 id, p2 text, p3 non-zero for UTF-8, else host character set 100. A text
// that cannot be converted spoils the computation: its final then answers the empty text.
void add(PluginBlock* block);
// ZUV_DigestAddBlob: p1 id, p2 BLOB.
void addBlob(PluginBlock* block);
// ZUV_DigestFinal: p1 id, p2 1 to finish (any other value discards). Answers the value in
// lower-case hexadecimal, or the empty text; ends the id either way.
void calc(PluginBlock* block);

namespace testing {
// Sets the last id handed out, so that a test can reach the wrap after 4,294,967,295.
void setLastId(uint32_t id);
}  // namespace testing

}  // namespace digest
