// Quoted-printable: any text decodes without fault; a text encoded (both modes) and decoded
// comes back whole.

#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zuvfuzz::Input input = zuvfuzz::readInput(data, size);
  zuvfuzz::call("ZUV_QP2Text", {input.text});
  host::Text text = zuvfuzz::untilZero(input.text);
  if (!zuvfuzz::wellFormed(text)) return 0;
  host::Text encoded = zuvfuzz::call("ZUV_Text2QP", {text, int64_t{input.mode}}).text();
  if (zuvfuzz::call("ZUV_QP2Text", {encoded}).text() != text) {
    zuvfuzz::fail("quoted-printable round trip");
  }
  return 0;
}
