// The units of a host text as the plug-in reads and sets them: a view of a text's UTF-16 units,
// and the host calls that give a text new contents. Nothing here keeps state or yields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <unicode/unistr.h>

#include "4DPluginAPI.h"

// The units of a host text, as a view (empty for a null or empty text).
std::u16string_view unitsOf(const PA_Unistring& text);
std::u16string_view unitsOf(const icu::UnicodeString& text);
// Hands units to the host as the text's new contents; the host stops at the first zero unit.
void setUnits(PA_Unistring& text, const std::u16string& units);
// Hands all the units to the host, zero units included: for texts where a U+0000 is part of the
// data (a queued, decrypted or rotated text, a codec's result).
void setAllUnits(PA_Unistring& text, const std::u16string& units);
// Makes the text empty through the host.
void setEmpty(PA_Unistring& text);
