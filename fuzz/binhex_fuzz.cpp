// BinHex 4.0 decoder: any file decodes without fault and writes only its destination; a file it
// decodes, encoded and decoded again, gives the same data fork and resource fork.

#include "file_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zuvfuzz::decodeAndRoundTrip("ZUV_BinHex2File", "ZUV_File2BinHex", "in.hqx", "again.hqx", data,
                              size);
  return 0;
}
