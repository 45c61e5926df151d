// The text filters of the transfers: the text bits of a transfer's filter, applied to a text's
// units, and the replacement of every occurrence of a text that the line-end bits and
// the quoted-printable decoder use. The filters apply the codecs (codecs/codecs.h). Nothing here
// keeps state or yields.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "4DPluginAPI.h"
#include "text/units.h"

constexpr int kFilterCRToCRLF = 0x4;
constexpr int kFilterCRLFToCR = 0x8;
constexpr int kFilterHTMLEncodeAll = 0x10;
constexpr int kFilterHTMLDecode = 0x20;
constexpr int kFilterHTMLEncodeKeepMarkup = 0x40;
constexpr int kFilterBase64Encode = 0x80;
constexpr int kFilterBase64Decode = 0x100;
constexpr int kFilterQPEncode = 0x200;
constexpr int kFilterQPDecode = 0x400;

// Applies the text bits of filter to the units, in this order: line ends, HTML encoding, HTML
// decoding, Base64 encoding (unpadded), Base64 decoding (which skips characters outside its
// alphabet), quoted-printable. Bits that contradict each other (0x4 with 0x8, 0x10 or 0x40 with
// 0x20, 0x80 with 0x100, 0x200 with 0x400) do nothing; the character-set bits are ignored. All
// the units pass, a U+0000 passing every filter as any control character does. False, with out
// empty, when the result would pass kMaxLength units.
bool filterUnits(std::u16string_view in, int filter, std::u16string& out);

// Replaces every occurrence of what by with in in, left to right, occurrences not overlapping;
// what is inserted is not searched again. False when out would pass limit units.
bool replaceAllUnits(std::u16string_view in, std::u16string_view what, std::u16string_view with,
                     std::u16string& out, int64_t limit = kMaxLength);
