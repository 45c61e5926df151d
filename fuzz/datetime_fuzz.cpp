// Internet dates: any text parses without fault to 0, -1 or a moment; a moment parsed is one
// the plug-in writes back as a date that parses to it again, and a comment after the text
// changes nothing.

#include "fuzz_support.h"

namespace {

int64_t parse(const host::Text& text) {
  return zuvfuzz::call("ZUV_RFC822Date2Seconds", {text}).number();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zuvfuzz::Input input = zuvfuzz::readInput(data, size);
  int64_t seconds = parse(input.text);
  if (seconds < -1) zuvfuzz::fail("a moment before 1970 other than -1");
  if (seconds <= 0) return 0;
  int64_t utc = input.mode % 2;
  host::Text written = zuvfuzz::call("ZUV_Seconds2RFC822Date", {seconds, utc, int64_t{0}}).text();
  if (parse(written) != seconds) zuvfuzz::fail("a date written does not parse back");
  if (parse(input.text + u" (comment)") != seconds) zuvfuzz::fail("a trailing comment counts");
  return 0;
}
