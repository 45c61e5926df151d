// The text filters of the transfers and the line-end replacement: see filters.h. The filters
// work on units of their own, so a U+0000 passes them.

#include "text/filters.h"

#include "codecs/codecs.h"
#include "codecs/text_bytes.h"

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

// ---- The filter ----------------------------------------------------------------------------

namespace {

// Each step reads `text` and leaves what it gives there; false when that would pass kMaxLength
// units. A step whose bits do not ask for it leaves the text as it is.
bool replaceIn(std::u16string& text, std::u16string_view what, std::u16string_view with) {
  if (text.find(what) == std::u16string::npos) return true;
  std::u16string out;
  if (!replaceAllUnits(text, what, with, out)) return false;
  text.swap(out);
  return true;
}

bool filterLineEnds(std::u16string& text, int filter) {
  int bits = filter & (kFilterCRToCRLF | kFilterCRLFToCR);
  if (bits == kFilterCRToCRLF) return replaceIn(text, u"\r", u"\r\n");
  if (bits == kFilterCRLFToCR) return replaceIn(text, u"\r\n", u"\r");
  return true;
}

bool filterHTML(std::u16string& text, int filter) {
  std::u16string out;
  if ((filter & (kFilterHTMLEncodeAll | kFilterHTMLEncodeKeepMarkup)) != 0 &&
      (filter & kFilterHTMLDecode) == 0) {
    if (!htmlEncodeUnits(text, (filter & kFilterHTMLEncodeAll) != 0 ? 0 : 1, out)) return false;
    text.swap(out);
  }
  int htmlBits = filter & (kFilterHTMLEncodeAll | kFilterHTMLDecode | kFilterHTMLEncodeKeepMarkup);
  if (htmlBits == kFilterHTMLDecode) {
    htmlDecodeUnits(text, 0, out);
    text.swap(out);
  }
  return true;
}

// The encodings encode the text's UTF-8 bytes and the decodings read their bytes as UTF-8, as
// ZUV_Text2Base64 and ZUV_Base642Text do; a decoded zero byte is a U+0000 of the text.
bool filterBase64(std::u16string& text, int filter) {
  int bits = filter & (kFilterBase64Encode | kFilterBase64Decode);
  if (bits == kFilterBase64Encode) {
    EncodedChars bytes = utf8Of(text);
    std::u16string out;
    if (!base64EncodeBytes(viewOf(bytes), false, out)) return false;
    text.swap(out);
  }
  if (bits == kFilterBase64Decode) {
    EncodedChars bytes;
    if (!base64DecodeUnits(text, bytes, Base64Outsiders::kSkipped)) return false;
    DecodedChars units = convertToUnicode(bytes.chars, bytes.length, kCharSetUTF8);
    text.assign(reinterpret_cast<const char16_t*>(units.chars),
                units.chars != nullptr && units.length > 0 ? static_cast<size_t>(units.length) : 0);
  }
  return true;
}

bool filterQuotedPrintable(std::u16string& text, int filter) {
  int bits = filter & (kFilterQPEncode | kFilterQPDecode);
  std::u16string out;
  if (bits == kFilterQPDecode) {
    quotedDecodeUnits(text, out);
    text.swap(out);
  }
  if (bits == kFilterQPEncode) {
    EncodedChars bytes = utf8Of(text);
    if (!quotedEncodeBytes(viewOf(bytes), false, out)) return false;
    text.swap(out);
  }
  return true;
}

}  // namespace

bool filterUnits(std::u16string_view in, int filter, std::u16string& out) {
  try {
    out.assign(in);
    if (filterLineEnds(out, filter) && filterHTML(out, filter) && filterBase64(out, filter) &&
        filterQuotedPrintable(out, filter)) {
      return true;
    }
  } catch (const std::exception&) {
  }
  out.clear();
  return false;
}
