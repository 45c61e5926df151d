// The units of host texts: see units.h.

#include "text/units.h"

std::u16string_view unitsOf(const PA_Unistring& text) {
  if (text.fString == nullptr || text.fLength <= 0) return {};
  return {reinterpret_cast<const char16_t*>(text.fString), static_cast<size_t>(text.fLength)};
}

std::u16string_view unitsOf(const icu::UnicodeString& text) {
  return {text.getBuffer(), static_cast<size_t>(text.length())};
}

// Long texts are checked in runs without an early exit, which the compiler makes a vector
// loop; only the run that holds a zero is searched unit by unit.
std::u16string_view unitsBeforeZero(std::u16string_view units) {
  constexpr size_t kRun = 4096;
  for (size_t start = 0; start < units.size(); start += kRun) {
    std::u16string_view run = units.substr(start, kRun);
    unsigned zeros = 0;
    for (char16_t unit : run) zeros |= unit == 0;
    if (zeros != 0) return units.substr(0, start + run.find(u'\0'));
  }
  return units;
}

void setUnits(PA_Unistring& text, const std::u16string& units) {
  PA_SetUnistring(&text, reinterpret_cast<const PA_Unichar*>(units.c_str()));
}

void setAllUnits(PA_Unistring& text, const std::u16string& units) {
  // A text never holds more than kMaxLength units, so the count fits.
  PA_SetUnistringUnits(&text, reinterpret_cast<const PA_Unichar*>(units.c_str()),
                       static_cast<int32_t>(units.size()));
}

void setEmpty(PA_Unistring& text) { PA_SetUnistring(&text, nullptr); }
