// MacBinary decoder: any file decodes without fault and writes only its destination; a file it
// decodes, encoded and decoded again, gives the same forks and Finder information.

#include "file_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zuvfuzz::decodeAndRoundTrip("ZUV_MacBinary2File", "ZUV_File2MacBinary", "in.bin", "again.bin",
                              data, size);
  return 0;
}
