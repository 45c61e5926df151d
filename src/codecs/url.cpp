// Percent-encoding of texts for URLs and form data (ZUV_Text2URL, ZUV_URL2Text), and the decoder
// of "=" escapes that quoted-printable shares with it.
//
// The encoder writes a text's UTF-8 bytes, each byte that its mode does not allow as "%" and two
// upper-case hexadecimal digits. The decoder turns escapes back into characters, a run of
// escaped bytes into one UTF-8 character, and leaves every escape that does not decode (a bad
// digit, the byte 0, a run that is not one valid UTF-8 character) in the text as it stands.

#include <array>
#include <exception>

#include "codecs/codecs.h"

namespace {

// ---- Encoder -------------------------------------------------------------------------------

enum class ByteForm : uint8_t { kEscaped, kKept, kPlus };
using ModeTable = std::array<ByteForm, 256>;

// The characters that mode 2 escapes although they lie in 48..126.
constexpr char kMode2Escaped[] = "<>\"#%\\{}[]|^`~;/:@=&";

ModeTable makeModeTable(int mode) {
  ModeTable table;
  table.fill(ByteForm::kEscaped);
  int first = mode == 1 ? 33 : 48;
  for (int c = first; c <= 126; ++c) table[c] = ByteForm::kKept;
  table['<'] = ByteForm::kEscaped;
  table['>'] = ByteForm::kEscaped;
  if (mode == 1) table['%'] = ByteForm::kEscaped;
  if (mode == 2) {
    for (const char* c = kMode2Escaped; *c != 0; ++c)
      table[static_cast<unsigned char>(*c)] = ByteForm::kEscaped;
  }
  if (mode != 1) table[' '] = ByteForm::kPlus;
  return table;
}

// The table of an encoder mode 0, 1 or 2; null for any other mode, which writes nothing.
const ModeTable* modeTable(int mode) {
  static const std::array<ModeTable, 3> tables = {makeModeTable(0), makeModeTable(1),
                                                  makeModeTable(2)};
  return mode >= 0 && mode <= 2 ? &tables[static_cast<size_t>(mode)] : nullptr;
}

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }
bool isSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

// The UTF-8 bytes of the character at in[i] (a surrogate pair is one character), 0 of them for
// an unpaired surrogate, which has no UTF-8 form; i moves past the character.
int utf8Bytes(std::u16string_view in, size_t& i, unsigned char bytes[4]) {
  uint32_t c = in[i++];
  if (isHighSurrogate(static_cast<char16_t>(c)) && i < in.size() && isLowSurrogate(in[i])) {
    c = 0x10000 + ((c - 0xD800) << 10) + (in[i++] - 0xDC00u);
  } else if (isSurrogate(static_cast<char16_t>(c))) {
    return 0;
  }
  if (c < 0x80) {
    bytes[0] = static_cast<unsigned char>(c);
    return 1;
  }
  if (c < 0x800) {
    bytes[0] = static_cast<unsigned char>(0xC0 | c >> 6);
    bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    bytes[0] = static_cast<unsigned char>(0xE0 | c >> 12);
    bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
    bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<unsigned char>(0xF0 | c >> 18);
  bytes[1] = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
  bytes[2] = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
  bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
  return 4;
}

template <typename Out>
void appendByte(Out& out, unsigned char byte, const ModeTable& table) {
  switch (table[byte]) {
    case ByteForm::kKept:
      out.push_back(byte);
      break;
    case ByteForm::kPlus:
      out.push_back(u'+');
      break;
    case ByteForm::kEscaped:
      out.push_back(u'%');
      out.push_back(kHexDigits[byte >> 4]);
      out.push_back(kHexDigits[byte & 15]);
      break;
  }
}

// ---- Decoder -------------------------------------------------------------------------------

int hexValue(char16_t unit) {
  if (unit >= u'0' && unit <= u'9') return unit - u'0';
  if (unit >= u'a' && unit <= u'f') return unit - u'a' + 10;
  if (unit >= u'A' && unit <= u'F') return unit - u'A' + 10;
  return -1;
}

// The length of the character at in[i]: 2 for a surrogate pair, else 1.
size_t characterLength(std::u16string_view in, size_t i) {
  return isHighSurrogate(in[i]) && i + 1 < in.size() && isLowSurrogate(in[i + 1]) ? 2 : 1;
}

// How an escape at in[at] reads: its byte, or broken, with the end of what was read.
struct Escape {
  bool broken = true;
  unsigned char byte = 0;
  size_t end = 0;  // one past the last character read
};

// Reads the escape at in[at], which holds esc with at least two units after it.
Escape readEscape(std::u16string_view in, size_t at) {
  int high = hexValue(in[at + 1]);
  if (high < 0) return {true, 0, at + 1 + characterLength(in, at + 1)};
  int low = hexValue(in[at + 2]);
  size_t end = at + 2 + (low < 0 ? characterLength(in, at + 2) : 1);
  if (low < 0 || (high == 0 && low == 0)) return {true, 0, end};
  return {false, static_cast<unsigned char>(high << 4 | low), end};
}

bool startsEscape(std::u16string_view in, size_t at, char16_t esc) {
  return at < in.size() && in[at] == esc && in.size() - at > 2;
}

bool isContinuation(unsigned char byte) { return byte >= 0x80 && byte <= 0xBF; }

// The code point of the UTF-8 character at the start of bytes[0..n), or -1 when it is not one:
// an overlong form, a surrogate, a value past U+10FFFF, a bad first byte, or cut short.
int32_t decodeUTF8(const unsigned char* bytes, int n) {
  unsigned char lead = bytes[0];
  int length;
  uint32_t c;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    c = lead & 0x07;
  } else {
    return -1;  // a continuation byte, an overlong lead (C0, C1) or F5 and above
  }
  if (n < length) return -1;
  for (int k = 1; k < length; ++k) c = c << 6 | (bytes[k] & 0x3F);
  if ((length == 3 && c < 0x800) || (length == 4 && c < 0x10000)) return -1;
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return -1;
  return static_cast<int32_t>(c);
}

void appendCodePoint(std::u16string& out, uint32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
    return;
  }
  c -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
}

// A run holds at most the four bytes of one UTF-8 character; an escape past them is read afresh.
constexpr int kMaxRun = 4;

// Decodes the run that begins with the escaped lead byte at in[at] and answers where the scan
// goes on. Continuation bytes join the run; a broken escape leaves all of it undecoded.
size_t decodeRun(std::u16string_view in, size_t at, unsigned char lead, char16_t esc,
                 std::u16string& out) {
  unsigned char bytes[kMaxRun] = {lead};
  int n = 1;
  size_t end = at + 3;
  while (n < kMaxRun && startsEscape(in, end, esc)) {
    Escape next = readEscape(in, end);
    if (next.broken) {
      out.append(in, at, next.end - at);
      return next.end;
    }
    if (!isContinuation(next.byte)) break;
    bytes[n++] = next.byte;
    end = next.end;
  }
  int32_t c = decodeUTF8(bytes, n);
  if (c < 0) {
    out.append(in, at, end - at);
  } else {
    appendCodePoint(out, static_cast<uint32_t>(c));
  }
  return end;
}

// Decodes the escape at in[at] and answers where the scan goes on.
size_t decodeEscape(std::u16string_view in, size_t at, char16_t esc, std::u16string& out) {
  Escape escape = readEscape(in, at);
  if (escape.broken) {
    out.append(in, at, escape.end - at);
    return escape.end;
  }
  if (escape.byte < 0x80) {
    out.push_back(escape.byte);
    return escape.end;
  }
  return decodeRun(in, at, escape.byte, esc, out);
}

}  // namespace

namespace {

// Writes the escaped UTF-8 bytes of in to out, a text or a UnitCount.
template <typename Out>
void encodeEscapes(std::u16string_view in, const ModeTable& table, Out& out) {
  unsigned char bytes[4];
  for (size_t i = 0; i < in.size();) {
    int n = utf8Bytes(in, i, bytes);
    for (int k = 0; k < n; ++k) appendByte(out, bytes[k], table);
  }
}

}  // namespace

bool urlEncodeUnits(std::u16string_view in, int mode, std::u16string& out, int64_t limit) {
  out.clear();
  const ModeTable* table = modeTable(mode & ~4);
  if (table == nullptr) return true;
  return encodeMeasured(out, limit, [&](auto& to) { encodeEscapes(in, *table, to); });
}

void urlDecodeUnits(std::u16string_view in, int mode, std::u16string& out) {
  out.clear();
  out.reserve(in.size());
  char16_t esc = mode == -1 ? u'=' : u'%';
  bool plusIsSpace = (mode & 1) == 0;
  for (size_t i = 0; i < in.size();) {
    char16_t unit = in[i];
    if (startsEscape(in, i, esc)) {
      i = decodeEscape(in, i, esc, out);
      continue;
    }
    out.push_back(unit == u'+' && plusIsSpace ? u' ' : unit);
    ++i;
  }
}

void urlEncode(std::u16string_view in, PA_Unistring& target, int mode) {
  if (in.empty()) return;
  try {
    std::u16string out;
    if (urlEncodeUnits(in, mode, out)) return setAllUnits(target, out);
  } catch (const std::exception&) {
  }
  setEmpty(target);
}

void urlDecode(std::u16string_view in, PA_Unistring& target, int mode) {
  if (in.empty()) return;
  try {
    std::u16string out;
    urlDecodeUnits(in, mode, out);
    return setAllUnits(target, out);
  } catch (const std::exception&) {
  }
  setEmpty(target);
}

void urlEncode(PA_Unistring& text, int mode) { urlEncode(unitsOf(text), text, mode); }

void urlDecode(PA_Unistring& text, int mode) { urlDecode(unitsOf(text), text, mode); }
