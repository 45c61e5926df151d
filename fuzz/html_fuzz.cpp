// HTML entities: any text decodes without fault in every mode, and encodes without fault.

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zuvfuzz::Input input = zuvfuzz::readInput(data, size);
  int mode = input.mode % 4;
  zuvfuzz::call("ZUV_HTML2Text", {input.text, int64_t{mode}});
  host::Text encoded = zuvfuzz::call("ZUV_Text2HTML", {input.text, int64_t{mode}}).text();
  zuvfuzz::call("ZUV_HTML2Text", {encoded, int64_t{mode}});
  return 0;
}
