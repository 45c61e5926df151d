// gzip reader: any file expands without fault and writes only its destination; what it expands,
// compressed and expanded again, comes back whole.

#include "file_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zuvfuzz::writeFile("in.gz", data, size);
  const int64_t code = zuvfuzz::convert("ZUV_Gzip2File", "in.gz", "out");
  if (code == 0) {
    const std::string expanded = zuvfuzz::readFile("out");
    const int64_t packed =
        zuvfuzz::call("ZUV_File2Gzip", {host::text(zuvfuzz::inFolder("out")),
                                        host::text(zuvfuzz::inFolder("again.gz")), int64_t{1}})
            .number();
    if (packed != 0) zuvfuzz::fail("compress");
    if (zuvfuzz::convert("ZUV_Gzip2File", "again.gz", "out") != 0) zuvfuzz::fail("expand");
    if (zuvfuzz::readFile("out") != expanded) zuvfuzz::fail("round trip");
  }
  zuvfuzz::checkAndEmptyFolder({"in.gz", "out", "again.gz"});
  return 0;
}
