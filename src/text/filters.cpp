// The text filters of the transfers, the line-end replacement, and the constants and tables that
// the text codecs share. Everything here is built at load, before any host call, and destroyed
// when the plug-in is unloaded.

#include <cstring>

#include <unicode/ustring.h>

#include "codecs/codecs.h"

const icu::UnicodeString kCR(true, u"\r", -1);
const icu::UnicodeString kCRLF(true, u"\r\n", -1);
const icu::UnicodeString kQuotedPrintableCR(true, u"=\r", -1);
const icu::UnicodeString kQuotedPrintableCRLF(true, u"=\r\n", -1);
const icu::UnicodeString kEmptyUnicodeString;
const std::string kBase64Chars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

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

// ---- Shared helpers ------------------------------------------------------------------------

PA_Unistring* resultText(PluginBlock* block) {
  PA_Unistring* text;
  std::memcpy(&text, block->result, sizeof text);
  return text;
}

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
  // A text never holds more than kMaxTextUnits units, so the count fits.
  PA_SetUnistringUnits(&text, reinterpret_cast<const PA_Unichar*>(units.c_str()),
                       static_cast<int32_t>(units.size()));
}

void setEmpty(PA_Unistring& text) { PA_SetUnistring(&text, nullptr); }

// ---- Line ends -----------------------------------------------------------------------------

bool replaceAllUnits(std::u16string_view in, std::u16string_view what, std::u16string_view with,
                     std::u16string& out, int64_t limit) {
  out.clear();
  if (what.empty()) {
    out.assign(in);
    return true;
  }
  size_t from = 0;
  for (size_t at; (at = in.find(what, from)) != std::u16string_view::npos;
       from = at + what.size()) {
    out.append(in, from, at - from);
    out.append(with);
    if (static_cast<int64_t>(out.size()) > limit) return false;
  }
  out.append(in, from, std::u16string_view::npos);
  return static_cast<int64_t>(out.size()) <= limit;
}

void findAndReplace(PA_Unistring& text, const icu::UnicodeString& what,
                    const icu::UnicodeString& with) {
  std::u16string_view in = unitsOf(text);
  if (in.empty() || what.isEmpty()) return;
  const UChar* first =
      u_strFindFirst(in.data(), static_cast<int32_t>(in.size()), what.getBuffer(), what.length());
  if (first == nullptr) return;
  // The copy up to the first occurrence is taken whole; the rest is built by appending, so the
  // replacement stays linear in the text however many line ends it holds.
  size_t start = static_cast<size_t>(first - in.data());
  std::u16string rest;
  if (!replaceAllUnits(in.substr(start), unitsOf(what), unitsOf(with), rest,
                       kMaxTextUnits - static_cast<int64_t>(start))) {
    setEmpty(text);
    return;
  }
  std::u16string out;
  out.reserve(start + rest.size());
  out.append(in.substr(0, start)).append(rest);
  setUnits(text, out);
}

// ---- The filter ----------------------------------------------------------------------------

namespace {

void filterLineEnds(PA_Unistring& text, int filter) {
  int bits = filter & (kFilterCRToCRLF | kFilterCRLFToCR);
  if (bits == kFilterCRToCRLF) findAndReplace(text, kCR, kCRLF);
  if (bits == kFilterCRLFToCR) findAndReplace(text, kCRLF, kCR);
}

void filterHTML(PA_Unistring& text, int filter) {
  if ((filter & (kFilterHTMLEncodeAll | kFilterHTMLEncodeKeepMarkup)) != 0 &&
      (filter & kFilterHTMLDecode) == 0) {
    htmlEncode(text, (filter & kFilterHTMLEncodeAll) != 0 ? 0 : 1);
  }
  int htmlBits = filter & (kFilterHTMLEncodeAll | kFilterHTMLDecode | kFilterHTMLEncodeKeepMarkup);
  if (htmlBits == kFilterHTMLDecode) htmlDecode(text, 0);
}

void filterBase64(PA_Unistring& text, int filter) {
  int bits = filter & (kFilterBase64Encode | kFilterBase64Decode);
  if (bits == kFilterBase64Encode) base64Encode(text, false);
  if (bits == kFilterBase64Decode) base64Decode(text, Base64Outsiders::kSkipped);
}

void filterQuotedPrintable(PA_Unistring& text, int filter) {
  int bits = filter & (kFilterQPEncode | kFilterQPDecode);
  if (bits == kFilterQPDecode) quotedDecode(text);
  if (bits == kFilterQPEncode) quotedEncode(text, false);
}

}  // namespace

void filterText(PA_Unistring& text, int filter) {
  if (filter == 0 || text.fLength == 0) return;
  filterLineEnds(text, filter);
  filterHTML(text, filter);
  filterBase64(text, filter);
  filterQuotedPrintable(text, filter);
}
