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

// ZUV_DigestInit: answers a new id for the algorithm, 0 for a number that names no algorithm.
int32_t init(int32_t algorithm);
// ZUV_DigestAddText: feeds the text's bytes, in UTF-8 when charsetFlag is non-zero, else in host
// character set 100. An id that names no computation takes nothing. A text that cannot be
// converted spoils the computation: its final then answers the empty text.
void add(int32_t id, const PA_Unistring& text, int32_t charsetFlag);
// ZUV_DigestAddBlob: feeds the BLOB's bytes (none for a null handle).
void addBlob(int32_t id, HostHandle blob);
// ZUV_DigestFinal: sets result to the value in lower-case hexadecimal when finish is set, else
// (and for an unknown id or a spoiled computation) to the empty text; ends the id either way.
void calc(int32_t id, bool finish, PA_Unistring& result);

namespace testing {
// Sets the last id handed out, so that a test can reach the wrap after 4,294,967,295.
void setLastId(uint32_t id);
}  // namespace testing

}  // namespace digest
