// uuencode: the body of a uuencoded block (no begin, end or closing line) between a 4D text's
// UTF-8 bytes and its lines, for ZUV_Text2UU and ZUV_UU2Text. The encoder ends lines with CR
// alone; the decoder takes CR, LF or CR LF. No state is kept between calls.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "4DPluginAPI.h"

namespace uu {

// The most units a text to encode may hold: its lines then still fit in a text.
constexpr int32_t kMaxEncodedUnits = 518715854;

// Sets result to the lines of the text's UTF-8 bytes; the empty text for an empty or too long
// text.
void encode(const PA_Unistring& text, PA_Unistring& result);
// Sets result to the bytes that the text's lines decode to, read as UTF-8, up to the first zero
// byte; the empty text when the decoder refuses a character.
void decode(const PA_Unistring& text, PA_Unistring& result);

// The lines of bytes: at most 45 bytes a line, each line ended by CR.
std::u16string encodeBytes(std::string_view bytes);
// The bytes of lines up to the first zero byte (not included); false for a character the decoder
// refuses, also after that byte. A last line without a line end is ignored.
bool decodeBytes(std::string_view lines, std::string& out);

}  // namespace uu
