// The text filters of the transfers and the line-end replacement: see filters.h. The constants
// here are built at load, before any host call, and destroyed when the plug-in is unloaded.

#include "text/filters.h"

#include <unicode/ustring.h>

#include "codecs/codecs.h"

namespace {

const icu::UnicodeString kCR(true, u"\r", -1);
const icu::UnicodeString kCRLF(true, u"\r\n", -1);

}  // namespace

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
                       kMaxLength - static_cast<int64_t>(start))) {
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
