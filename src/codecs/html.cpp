// HTML character references: the named entities and plain replacements of sEntities, and
// numeric references, between a 4D text and its HTML form (ZUV_Text2HTML, ZUV_HTML2Text and the
// HTML bits of the text filters).
//
// Both directions are one left-to-right pass that appends to a new text. The decoder makes three
// such passes, in order: numeric references, then named entities (so that the "&" of "&#38;lt;"
// begins "&lt;"), then, in mode 2, tags. Named entities cannot overlap one another and none of
// them decodes to a letter or ";", so one pass that decodes each entity once gives the result of
// replacing the table's entities one after the other, with "&amp;" last: "&amp;lt;" gives "&lt;".

#include <algorithm>
#include <exception>
#include <iterator>

#include <unicode/ustring.h>

#include "codecs/codecs.h"

// The markup characters, the HTML 4 Latin-1 entities (160..255 without the nine characters that
// mail readers show as they are), then plain replacements for typographic characters that a
// Latin-1 reader lacks. No unit has two rows.
const EntityRow sEntities[] = {
    {34, "&quot;"},    {38, "&amp;"},     {60, "&lt;"},      {62, "&gt;"},      {160, "&nbsp;"},
    {161, "&iexcl;"},  {162, "&cent;"},   {163, "&pound;"},  {164, "&curren;"}, {165, "&yen;"},
    {167, "&sect;"},   {168, "&uml;"},    {169, "&copy;"},   {170, "&ordf;"},   {171, "&laquo;"},
    {172, "&not;"},    {173, "&shy;"},    {174, "&reg;"},    {175, "&macr;"},   {176, "&deg;"},
    {177, "&plusmn;"}, {180, "&acute;"},  {181, "&micro;"},  {182, "&para;"},   {184, "&cedil;"},
    {186, "&ordm;"},   {187, "&raquo;"},  {191, "&iquest;"}, {192, "&Agrave;"}, {193, "&Aacute;"},
    {194, "&Acirc;"},  {195, "&Atilde;"}, {196, "&Auml;"},   {197, "&Aring;"},  {198, "&AElig;"},
    {199, "&Ccedil;"}, {200, "&Egrave;"}, {201, "&Eacute;"}, {202, "&Ecirc;"},  {203, "&Euml;"},
    {204, "&Igrave;"}, {205, "&Iacute;"}, {206, "&Icirc;"},  {207, "&Iuml;"},   {208, "&ETH;"},
    {209, "&Ntilde;"}, {210, "&Ograve;"}, {211, "&Oacute;"}, {212, "&Ocirc;"},  {213, "&Otilde;"},
    {214, "&Ouml;"},   {216, "&Oslash;"}, {217, "&Ugrave;"}, {218, "&Uacute;"}, {219, "&Ucirc;"},
    {220, "&Uuml;"},   {221, "&Yacute;"}, {222, "&THORN;"},  {223, "&szlig;"},  {224, "&agrave;"},
    {225, "&aacute;"}, {226, "&acirc;"},  {227, "&atilde;"}, {228, "&auml;"},   {229, "&aring;"},
    {230, "&aelig;"},  {231, "&ccedil;"}, {232, "&egrave;"}, {233, "&eacute;"}, {234, "&ecirc;"},
    {235, "&euml;"},   {236, "&igrave;"}, {237, "&iacute;"}, {238, "&icirc;"},  {239, "&iuml;"},
    {240, "&eth;"},    {241, "&ntilde;"}, {242, "&ograve;"}, {243, "&oacute;"}, {244, "&ocirc;"},
    {245, "&otilde;"}, {246, "&ouml;"},   {247, "&divide;"}, {248, "&oslash;"}, {249, "&ugrave;"},
    {250, "&uacute;"}, {251, "&ucirc;"},  {252, "&uuml;"},   {253, "&yacute;"}, {254, "&thorn;"},
    {255, "&yuml;"},   {8226, "*"},       {8482, "(TM)"},    {339, "oe"},       {338, "OE"},
    {8364, "&euro;"},  {8804, "<="},      {8805, ">="},      {8220, "\""},      {8221, "\""},
    {8216, "'"},       {8217, "'"},       {0, nullptr},
};

namespace {

EntityMap makeEntityMap() {
  EntityMap map;
  map.max_load_factor(1.0f);
  return map;
}

}  // namespace

EntityMap sEntityMap = makeEntityMap();

namespace {

// The named entities of the table, from their text back to their unit: the decoder's index,
// filled with sEntityMap.
std::unordered_map<std::u16string, uint16_t> sEntityUnits;

// The longest text of a named entity, "&" and ";" included.
size_t sLongestEntity = 0;

// The characters that markup is made of: "&", "<", ">" and the double quote.
bool isTagChar(char16_t unit) {
  return unit == u'&' || unit == u'<' || unit == u'>' || unit == u'"';
}

// Whether the encoding mode writes `unit` as it is although the table has a row for it.
bool exempted(char16_t unit, int mode) {
  if (mode == 0) return false;
  if (mode == 2) return isTagChar(unit);
  return unit == u'<' || unit == u'>' || unit == u'"';
}

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// "&#", the value's decimal digits, ";".
template <typename Out>
void appendNumericReference(Out& out, uint32_t value) {
  char16_t units[16];
  char16_t* first = std::end(units);
  *--first = u';';
  do {
    *--first = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  *--first = u'#';
  *--first = u'&';
  out.append(first, static_cast<size_t>(std::end(units) - first));
}

template <typename Out>
void appendEntity(Out& out, const icu::UnicodeString& entity) {
  out.append(entity.getBuffer(), static_cast<size_t>(entity.length()));
}

void ensureEntityMap() {
  if (sEntityMap.empty()) fillEntityMap();
}

// ---- Numeric references --------------------------------------------------------------------

bool isAsciiDigit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }

int hexValue(char16_t unit) {
  if (unit >= u'0' && unit <= u'9') return unit - u'0';
  if (unit >= u'a' && unit <= u'f') return unit - u'a' + 10;
  if (unit >= u'A' && unit <= u'F') return unit - u'A' + 10;
  return -1;
}

// A numeric reference at in[at] ("&#" then 1 to 10 decimal digits, or "0x" and 1 to 8
// hexadecimal digits, then ";"): its value and length, or length 0 when there is none. Only
// ASCII digits count: a reference spelled with other digits is left as it is written.
struct NumericReference {
  uint64_t value = 0;
  size_t length = 0;
};

NumericReference readHexReference(std::u16string_view in, size_t at) {
  size_t start = at + 4;  // after "&#0x"
  size_t end = start;
  uint64_t value = 0;
  while (end < in.size() && end - start < 8 && hexValue(in[end]) >= 0) {
    value = value * 16 + static_cast<uint64_t>(hexValue(in[end]));
    ++end;
  }
  if (end == start || end >= in.size() || in[end] != u';') return {};
  return {value, end + 1 - at};
}

NumericReference readNumericReference(std::u16string_view in, size_t at) {
  if (at + 3 >= in.size() || in[at + 1] != u'#') return {};
  size_t start = at + 2;
  if (in[start] == u'0' && start + 1 < in.size() && (in[start + 1] | 0x20) == u'x') {
    NumericReference hex = readHexReference(in, at);
    if (hex.length > 0) return hex;
  }
  size_t end = start;
  uint64_t value = 0;
  while (end < in.size() && end - start < 10 && isAsciiDigit(in[end])) {
    value = value * 10 + static_cast<uint64_t>(in[end] - u'0');
    ++end;
  }
  if (end == start || end >= in.size() || in[end] != u';') return {};
  return {value, end + 1 - at};
}

// Appends the character of a reference's value: 1..0xFFFF one unit, 0x10000..0x10FFFF its
// surrogate pair. Answers false for 0 and larger values, which stay as they are written: neither
// is a character that HTML lets a reference stand for.
bool appendCodePoint(std::u16string& out, uint64_t value) {
  if (value == 0 || value > 0x10FFFF) return false;
  if (value <= 0xFFFF) {
    out.push_back(static_cast<char16_t>(value));
    return true;
  }
  value -= 0x10000;
  out.push_back(static_cast<char16_t>(0xD800 + (value >> 10)));
  out.push_back(static_cast<char16_t>(0xDC00 + (value & 0x3FF)));
  return true;
}

void decodeNumericReferences(std::u16string_view in, std::u16string& out) {
  out.reserve(in.size());
  size_t from = 0;
  for (size_t at; (at = in.find(u'&', from)) != std::u16string_view::npos;) {
    out.append(in, from, at - from);
    NumericReference ref = readNumericReference(in, at);
    if (ref.length > 0 && appendCodePoint(out, ref.value)) {
      from = at + ref.length;
    } else if (ref.length > 0) {
      out.append(in, at, ref.length);
      from = at + ref.length;
    } else {
      out.push_back(u'&');
      from = at + 1;
    }
  }
  out.append(in, from, std::u16string_view::npos);
}

// ---- Named entities and tags ---------------------------------------------------------------

// The unit of the named entity at in[at], or 0 when none of the decoded entities starts there.
uint16_t namedEntityAt(std::u16string_view in, size_t at, int mode, size_t& length) {
  size_t limit = std::min(in.size(), at + sLongestEntity);
  for (size_t end = at + 1; end < limit; ++end) {
    if (in[end] == u'&') return 0;
    if (in[end] != u';') continue;
    auto found = sEntityUnits.find(std::u16string(in.substr(at, end + 1 - at)));
    if (found == sEntityUnits.end()) return 0;
    if (mode == 1 && isTagChar(found->second)) return 0;
    length = end + 1 - at;
    return found->second;
  }
  return 0;
}

void decodeNamedEntities(std::u16string_view in, int mode, std::u16string& out) {
  out.reserve(in.size());
  size_t from = 0;
  for (size_t at; (at = in.find(u'&', from)) != std::u16string_view::npos;) {
    out.append(in, from, at - from);
    size_t length = 0;
    uint16_t unit = namedEntityAt(in, at, mode, length);
    if (unit != 0) {
      out.push_back(static_cast<char16_t>(unit));
      from = at + length;
    } else {
      out.push_back(u'&');
      from = at + 1;
    }
  }
  out.append(in, from, std::u16string_view::npos);
}

// Removes every "<" up to the next ">" (line ends and further "<" included). A removal cannot
// make a tag that begins before the place it removed, so one pass over the tags of the text
// removes what searching the shortened text again after each removal would.
void removeTags(std::u16string_view in, std::u16string& out) {
  out.reserve(in.size());
  size_t from = 0;
  for (size_t open; (open = in.find(u'<', from)) != std::u16string_view::npos;) {
    size_t close = in.find(u'>', open + 1);
    if (close == std::u16string_view::npos) break;
    out.append(in, from, open - from);
    from = close + 1;
  }
  out.append(in, from, std::u16string_view::npos);
}

}  // namespace

void fillEntityMap() {
  for (const EntityRow* row = sEntities; row->unit != 0; ++row) {
    icu::UnicodeString text(row->text, -1, US_INV);
    sEntityMap.emplace(row->unit, text);
    if (row->text[0] != '&') continue;
    std::u16string key(text.getBuffer(), static_cast<size_t>(text.length()));
    sLongestEntity = std::max(sLongestEntity, key.size());
    sEntityUnits.emplace(std::move(key), row->unit);
  }
}

namespace {

// Writes the encoded form of in to out, a text or a UnitCount.
template <typename Out>
void encodeEntities(std::u16string_view in, int mode, Out& out) {
  for (size_t i = 0; i < in.size(); ++i) {
    char16_t unit = in[i];
    if (unit < 128 && !isTagChar(unit)) {
      out.push_back(unit);
    } else if (auto found = sEntityMap.find(unit);
               found != sEntityMap.end() && !exempted(unit, mode)) {
      appendEntity(out, found->second);
    } else if (unit < 128) {
      out.push_back(unit);
    } else if (isHighSurrogate(unit) && i + 1 < in.size() && isLowSurrogate(in[i + 1])) {
      // One reference for the whole character, as HTML readers expect, not one per half.
      uint32_t codePoint = 0x10000 + ((unit - 0xD800u) << 10) + (in[i + 1] - 0xDC00u);
      appendNumericReference(out, codePoint);
      ++i;
    } else {
      appendNumericReference(out, unit);
    }
  }
}

}  // namespace

bool htmlEncodeUnits(std::u16string_view in, int mode, std::u16string& out, int64_t limit) {
  ensureEntityMap();
  out.clear();
  return encodeMeasured(out, limit, [&](auto& to) { encodeEntities(in, mode, to); });
}

void htmlDecodeUnits(std::u16string_view in, int mode, std::u16string& out) {
  ensureEntityMap();
  std::u16string numeric;
  decodeNumericReferences(in, numeric);
  out.clear();
  if (mode != 2) {
    decodeNamedEntities(numeric, mode, out);
    return;
  }
  std::u16string named;
  decodeNamedEntities(numeric, mode, named);
  removeTags(named, out);
}

void htmlEncode(std::u16string_view in, PA_Unistring& target, int mode) {
  ensureEntityMap();
  if (in.empty()) return;
  try {
    std::u16string out;
    if (htmlEncodeUnits(in, mode, out)) return setAllUnits(target, out);
  } catch (const std::exception&) {
  }
  setEmpty(target);
}

void htmlDecode(std::u16string_view in, PA_Unistring& target, int mode) {
  ensureEntityMap();
  if (in.empty()) return;
  try {
    std::u16string out;
    htmlDecodeUnits(in, mode, out);
    return setAllUnits(target, out);
  } catch (const std::exception&) {
  }
  setEmpty(target);
}

void htmlEncode(PA_Unistring& text, int mode) { htmlEncode(unitsOf(text), text, mode); }

void htmlDecode(PA_Unistring& text, int mode) { htmlDecode(unitsOf(text), text, mode); }
