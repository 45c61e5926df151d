// Quoted-printable (RFC 2045) between a 4D text's UTF-8 bytes and their encoded form, for
// ZUV_Text2QP, ZUV_QP2Text and the text filters.
//
// Where the program's format differs from the RFC, callers rely on it and it stays:
// quoted-printable writes CR and LF as they are, always breaks lines with "=\r\n", and outside
// text mode counts CR and LF into the line's column.

#include <exception>
#include <string_view>

#include "codecs/codecs.h"
#include "codecs/text_bytes.h"
#include "text/filters.h"

namespace {

// The soft line breaks that the decoder removes.
constexpr std::u16string_view kSoftBreakCR = u"=\r";
constexpr std::u16string_view kSoftBreakCRLF = u"=\r\n";

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";
constexpr unsigned char kTab = 9;
constexpr unsigned char kLF = 10;
constexpr unsigned char kCRByte = 13;
constexpr unsigned char kSpace = 32;
// A line holds at most 76 characters, the soft break's "=" included.
constexpr int kLastLiteralColumn = 75;
constexpr int kLastEscapeColumn = 73;

bool writtenLiterally(unsigned char c, int next) {
  if (c == kTab || c == kSpace) return next != kCRByte;
  if (c == kLF || c == kCRByte) return true;
  return c >= 33 && c <= 126 && c != '=';
}

template <typename Out>
void appendSoftBreak(Out& out, int& column) {
  out.append(u"=\r\n");
  column = 0;
}

// Writes the quoted-printable form of bytes to out, a text or a UnitCount.
template <typename Out>
void encodeQuoted(std::string_view bytes, bool textMode, Out& out) {
  int column = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    auto c = static_cast<unsigned char>(bytes[i]);
    int next = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : -1;
    if (textMode && c == kCRByte) column = 0;
    if (writtenLiterally(c, next)) {
      bool full = column == kLastLiteralColumn || (textMode && column >= kLastLiteralColumn);
      if (next != kCRByte && full) appendSoftBreak(out, column);
      out.push_back(c);
      column += 1;
    } else {
      if (column >= kLastEscapeColumn) appendSoftBreak(out, column);
      out.push_back(u'=');
      out.push_back(kHexDigits[c >> 4]);
      out.push_back(kHexDigits[c & 15]);
      column += 3;
    }
  }
}

}  // namespace

bool quotedEncodeBytes(std::string_view bytes, bool textMode, std::u16string& out, int64_t limit) {
  out.clear();
  return encodeMeasured(out, limit, [&](auto& to) { encodeQuoted(bytes, textMode, to); });
}

void quotedDecodeUnits(std::u16string_view in, std::u16string& out) {
  std::u16string withoutCRLFBreaks;
  std::u16string withoutBreaks;
  replaceAllUnits(in, kSoftBreakCRLF, {}, withoutCRLFBreaks);
  replaceAllUnits(withoutCRLFBreaks, kSoftBreakCR, {}, withoutBreaks);
  urlDecodeUnits(withoutBreaks, -1, out);
}

void quotedEncode(std::u16string_view in, PA_Unistring& target, bool textMode) {
  if (in.empty()) return;
  try {
    EncodedChars bytes = utf8Of(in);
    std::u16string out;
    if (quotedEncodeBytes(viewOf(bytes), textMode, out)) return setAllUnits(target, out);
  } catch (const std::exception&) {
  }
  setEmpty(target);
}

// Soft breaks go first ("=\r\n", then the "=\r" that remain), then the "=" escapes, as one
// text handed to the host once. An empty text is set again, empty.
void quotedDecode(std::u16string_view in, PA_Unistring& target) {
  try {
    std::u16string out;
    quotedDecodeUnits(in, out);
    return setAllUnits(target, out);
  } catch (const std::exception&) {
  }
  setEmpty(target);
}

void quotedEncode(PA_Unistring& text, bool textMode) {
  quotedEncode(unitsOf(text), text, textMode);
}

void quotedDecode(PA_Unistring& text) { quotedDecode(unitsOf(text), text); }
