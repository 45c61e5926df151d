// URL encoding: any text decodes without fault in modes -1 to 6; a text encoded in mode 1 (which
// escapes "+") and decoded comes back whole.

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zuvfuzz::Input input = zuvfuzz::readInput(data, size);
  int mode = input.mode % 8 - 1;
  zuvfuzz::call("ZUV_URL2Text", {input.text, int64_t{mode}});
  zuvfuzz::call("ZUV_Text2URL", {input.text, int64_t{mode}});
  host::Text text = zuvfuzz::untilZero(input.text);
  if (!zuvfuzz::wellFormed(text)) return 0;
  host::Text encoded = zuvfuzz::call("ZUV_Text2URL", {text, int64_t{1}}).text();
  if (zuvfuzz::call("ZUV_URL2Text", {encoded, int64_t{1}}).text() != text) {
    zuvfuzz::fail("URL round trip");
  }
  return 0;
}
