// Base64: any text decodes without fault; a text encoded and decoded comes back whole.

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zuvfuzz::Input input = zuvfuzz::readInput(data, size);
  zuvfuzz::call("ZUV_Base642Text", {input.text});
  host::Text text = zuvfuzz::untilZero(input.text);
  if (!zuvfuzz::wellFormed(text)) return 0;
  host::Text encoded = zuvfuzz::call("ZUV_Text2Base64", {text, int64_t{input.mode}}).text();
  if (zuvfuzz::call("ZUV_Base642Text", {encoded}).text() != text) {
    zuvfuzz::fail("Base64 round trip");
  }
  return 0;
}
