// The units of host texts: see units.h.

#include "text/units.h"

std::u16string_view unitsOf(const PA_Unistring& text) {
  if (text.fString == nullptr || text.fLength <= 0) return {};
  return {reinterpret_cast<const char16_t*>(text.fString), static_cast<size_t>(text.fLength)};
}

std::u16string_view unitsOf(const icu::UnicodeString& text) {
  return {text.getBuffer(), static_cast<size_t>(text.length())};
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
