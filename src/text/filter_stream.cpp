// The text filters of a transfer applied chunk after chunk (filter_stream.h).

#include "text/filter_stream.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "codecs/codecs.h"
#include "text/conversion.h"
#include "text/filters.h"

// One filter of the chain: takes the units the filter before it gave, gives its own, and holds
// back what the next units may still change.
class FilterStage {
 public:
  virtual ~FilterStage() = default;
  // Appends to `out` what the stage gives for `in`; `last`: the transfer ends, nothing is held.
  virtual void push(std::u16string_view in, bool last, std::u16string& out) = 0;
  // A stage that holds what this one holds and goes on from there by itself.
  virtual std::unique_ptr<FilterStage> clone() const = 0;
};

namespace {

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }

std::u16string_view viewOf(const std::u16string& units) { return units; }

std::u16string_view unitsOf(const DecodedChars& units) {
  if (units.chars == nullptr || units.length <= 0) return {};
  return {reinterpret_cast<const char16_t*>(units.chars), static_cast<size_t>(units.length)};
}

// The bytes of units in a character set, through the host.
void appendBytes(std::u16string_view units, PA_4DCharSet charset, std::string& bytes) {
  if (units.empty()) return;
  EncodedChars chars = convertToChars(reinterpret_cast<const unsigned short*>(units.data()),
                                      static_cast<int>(units.size()), charset);
  if (chars.chars != nullptr && chars.length > 0) bytes.append(chars.chars, chars.length);
}

// Bytes read in a character set, through the host.
void appendUnits(std::string_view bytes, PA_4DCharSet charset, std::u16string& out) {
  if (bytes.empty()) return;
  DecodedChars units = convertToUnicode(bytes.data(), static_cast<int>(bytes.size()), charset);
  out.append(unitsOf(units));
}

// A stage that applies a codec's core to the longest part of its units that later units cannot
// change, and holds the rest.
class HoldBackStage : public FilterStage {
 public:
  using Cut = std::function<size_t(std::u16string_view)>;
  using Apply = std::function<void(std::u16string_view, std::u16string&)>;
  HoldBackStage(Cut cut, Apply apply) : cut_(std::move(cut)), apply_(std::move(apply)) {}

  void push(std::u16string_view in, bool last, std::u16string& out) override {
    held_.append(in);
    size_t cut = last ? held_.size() : cut_(held_);
    if (cut > 0) {
      std::u16string given;
      apply_(viewOf(held_).substr(0, cut), given);
      out.append(given);
    }
    held_.erase(0, cut);
  }

  std::unique_ptr<FilterStage> clone() const override {
    return std::make_unique<HoldBackStage>(*this);
  }

 private:
  Cut cut_;
  Apply apply_;
  std::u16string held_;
};

std::unique_ptr<FilterStage> replacing(std::u16string_view what, std::u16string_view with,
                                       HoldBackStage::Cut cut) {
  return std::make_unique<HoldBackStage>(std::move(cut), [what, with](auto in, auto& out) {
    replaceAllUnits(in, what, with, out, INT64_MAX);
  });
}

// Units up to the last one, unless it is `unit`.
size_t beforeTrailing(std::u16string_view units, char16_t unit) {
  return !units.empty() && units.back() == unit ? units.size() - 1 : units.size();
}

// ---- Line ends and HTML ------------------------------------------------------------------------

std::unique_ptr<FilterStage> crToCRLF() {
  return replacing(u"\r", u"\r\n", [](auto units) { return units.size(); });
}

// A final CR may be the start of a CR LF.
std::unique_ptr<FilterStage> crlfToCR() {
  return replacing(u"\r\n", u"\r", [](auto units) { return beforeTrailing(units, u'\r'); });
}

std::unique_ptr<FilterStage> htmlEncoding(int mode) {
  return std::make_unique<HoldBackStage>(
      [](auto units) {
        return !units.empty() && isHighSurrogate(units.back()) ? units.size() - 1 : units.size();
      },
      [mode](auto in, auto& out) { htmlEncodeUnits(in, mode, out, INT64_MAX); });
}

// Numeric references and named entities begin with '&', hold no '&' and are shorter than this,
// so a cut at the first '&' among the last units splits none, before or after the numeric
// references are decoded.
constexpr size_t kReferenceReach = 32;

std::unique_ptr<FilterStage> htmlDecoding() {
  return std::make_unique<HoldBackStage>(
      [](std::u16string_view units) {
        size_t from = units.size() > kReferenceReach ? units.size() - kReferenceReach : 0;
        size_t at = units.find(u'&', from);
        return at == std::u16string_view::npos ? units.size() : at;
      },
      [](auto in, auto& out) { htmlDecodeUnits(in, 0, out); });
}

// ---- Base64 ------------------------------------------------------------------------------------

// Encodes the text's bytes three at a time; the one or two bytes of an unfinished group wait,
// and the last ones are written unpadded.
class Base64Encoding : public FilterStage {
 public:
  explicit Base64Encoding(PA_4DCharSet charset) : charset_(charset) {}
  void push(std::u16string_view in, bool last, std::u16string& out) override {
    appendBytes(in, charset_, bytes_);
    size_t n = last ? bytes_.size() : bytes_.size() / 3 * 3;
    if (n == 0) return;
    std::u16string encoded;
    base64EncodeBytes(std::string_view(bytes_).substr(0, n), false, encoded, INT64_MAX);
    out.append(encoded);
    bytes_.erase(0, n);
  }

  std::unique_ptr<FilterStage> clone() const override {
    return std::make_unique<Base64Encoding>(*this);
  }

 private:
  PA_4DCharSet charset_;
  std::string bytes_;
};

bool isBase64Letter(char16_t unit) {
  return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z') ||
         (unit >= u'0' && unit <= u'9') || unit == u'+' || unit == u'/';
}

// Decodes whole groups of four letters (line ends and every other character outside the
// alphabet are skipped) and reads the bytes in the character set given; the letters of an
// unfinished group wait, and so do the bytes of an unfinished UTF-8 character. A "=" ends the
// input.
class Base64Decoding : public FilterStage {
 public:
  explicit Base64Decoding(PA_4DCharSet charset) : charset_(charset) {}
  void push(std::u16string_view in, bool last, std::u16string& out) override {
    if (!ended_) letters_.append(in);
    size_t cut = ended_ ? 0 : decidedLength(last);
    if (cut > 0) {
      EncodedChars decoded;
      base64DecodeUnits(viewOf(letters_).substr(0, cut), decoded, Base64Outsiders::kSkipped);
      if (decoded.chars != nullptr) bytes_.append(decoded.chars, decoded.length);
      letters_.erase(0, cut);
    }
    if (ended_) letters_.clear();
    size_t whole = last || charset_ != kCharSetUTF8 ? bytes_.size() : wholeUTF8Length(bytes_);
    appendUnits(std::string_view(bytes_).substr(0, whole), charset_, out);
    bytes_.erase(0, whole);
  }

  std::unique_ptr<FilterStage> clone() const override {
    return std::make_unique<Base64Decoding>(*this);
  }

 private:
  // The letters that can be decoded now: through the last whole group, everything up to a "="
  // (which ends the input), or everything at the end.
  size_t decidedLength(bool last) {
    size_t groupEnd = 0;
    int letters = 0;
    for (size_t i = 0; i < letters_.size(); ++i) {
      char16_t unit = letters_[i];
      if (unit == u'=') {
        ended_ = true;
        return i + 1;
      }
      if (!isBase64Letter(unit)) continue;
      if (++letters % 4 == 0) groupEnd = i + 1;
    }
    return last ? letters_.size() : groupEnd;
  }

  PA_4DCharSet charset_;
  std::u16string letters_;
  std::string bytes_;
  bool ended_ = false;
};

// ---- Quoted-printable --------------------------------------------------------------------------

bool isHexDigit(char16_t unit) {
  return (unit >= u'0' && unit <= u'9') || (unit >= u'A' && unit <= u'F') ||
         (unit >= u'a' && unit <= u'f');
}

int hexValue(char16_t unit) {
  if (unit <= u'9') return unit - u'0';
  return (unit | 0x20) - u'a' + 10;
}

// True when an escape "=XY" starts at `at` whose byte cannot continue a UTF-8 sequence.
bool startsLeadingEscape(std::u16string_view units, size_t at) {
  if (at + 3 > units.size() || units[at] != u'=' || !isHexDigit(units[at + 1]) ||
      !isHexDigit(units[at + 2])) {
    return false;
  }
  int byte = hexValue(units[at + 1]) << 4 | hexValue(units[at + 2]);
  return byte < 0x80 || byte >= 0xC0;
}

// The escapes "=XY" decode in runs that join the bytes of one UTF-8 character, so a cut is safe
// where no "=" comes in the three units before it, or where a whole escape ends and one that
// cannot continue a character begins.
size_t escapeCut(std::u16string_view units) {
  for (size_t cut = units.size();; --cut) {
    size_t from = cut >= 3 ? cut - 3 : 0;
    bool clean = units.substr(from, cut - from).find(u'=') == std::u16string_view::npos;
    if (clean) return cut;
    if (cut >= 3 && units[cut - 3] == u'=' && isHexDigit(units[cut - 2]) &&
        isHexDigit(units[cut - 1]) && startsLeadingEscape(units, cut)) {
      return cut;
    }
    if (cut == 0) return 0;
  }
}

// The unit of every byte of a single-byte character set, by the byte's value: one host call.
std::u16string singleByteUnits(PA_4DCharSet charset) {
  std::string bytes;
  for (int byte = 0; byte < 256; ++byte) bytes.push_back(static_cast<char>(byte));
  std::u16string units;
  appendUnits(bytes, charset, units);
  // Every set but UTF-8 that a transfer produces holds one unit a byte; read anything else as
  // ISO-8859-1 rather than index past the table.
  if (units.size() != bytes.size()) units.assign(bytes.begin(), bytes.end());
  return units;
}

// Decodes every escape "=XY" (two hexadecimal digits, either case) into the unit of its byte in
// a single-byte character set, the zero byte included; an "=" that two digits do not follow is
// written as it is, and the decoding goes on after it.
void decodeByteEscapes(std::u16string_view in, const std::u16string& units, std::u16string& out) {
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] == u'=' && i + 2 < in.size() && isHexDigit(in[i + 1]) && isHexDigit(in[i + 2])) {
      out.push_back(units[static_cast<size_t>(hexValue(in[i + 1]) << 4 | hexValue(in[i + 2]))]);
      i += 2;
    } else {
      out.push_back(in[i]);
    }
  }
}

// An escape is decided by the two units after its "=": an "=" among the last two units waits.
size_t byteEscapeCut(std::u16string_view units) {
  size_t at = units.find(u'=', units.size() > 2 ? units.size() - 2 : 0);
  return at == std::u16string_view::npos ? units.size() : at;
}

// The escapes, whose bytes are UTF-8 (runs of them that form one character become it, as the
// text decoder makes them) or a single-byte character set's (each becomes its byte's unit).
std::unique_ptr<FilterStage> escapeDecoding(PA_4DCharSet charset) {
  if (charset == kCharSetUTF8) {
    return std::make_unique<HoldBackStage>(escapeCut,
                                           [](auto in, auto& out) { urlDecodeUnits(in, -1, out); });
  }
  return std::make_unique<HoldBackStage>(byteEscapeCut,
                                         [units = singleByteUnits(charset)](auto in, auto& out) {
                                           decodeByteEscapes(in, units, out);
                                         });
}

// Soft breaks go first ("=" CR LF, then the "=" CR that remain), then the escapes: three stages,
// each holding what may still become one of its patterns.
void addQuotedDecoding(std::vector<std::unique_ptr<FilterStage>>& stages, PA_4DCharSet charset) {
  stages.push_back(replacing(u"=\r\n", u"", [](std::u16string_view units) {
    if (units.size() >= 2 && units.substr(units.size() - 2) == u"=\r") return units.size() - 2;
    return beforeTrailing(units, u'=');
  }));
  stages.push_back(replacing(u"=\r", u"", [](auto units) { return beforeTrailing(units, u'='); }));
  stages.push_back(escapeDecoding(charset));
}

// Encodes the text's bytes. The last byte waits for the next one (a space before a CR is
// escaped), but is given to the encoder as what follows, and its letters (and a soft break
// before them) are taken off the answer. The line's column goes on across chunks: the encoder is
// given as many letters as the column counts before the bytes, and they are taken off too.
class QuotedEncoding : public FilterStage {
 public:
  explicit QuotedEncoding(PA_4DCharSet charset) : charset_(charset) {}
  void push(std::u16string_view in, bool last, std::u16string& out) override {
    appendBytes(in, charset_, bytes_);
    if (bytes_.empty() || (!last && bytes_.size() == 1)) return;
    std::string line = columnFiller(column_);
    line.append(bytes_);
    std::u16string encoded;
    quotedEncodeBytes(line, false, encoded, INT64_MAX);
    if (!last) encoded.resize(withoutLastByte(encoded, static_cast<unsigned char>(bytes_.back())));
    size_t lastBreak = encoded.rfind(u"=\r\n");
    column_ = static_cast<int>(lastBreak == std::u16string::npos ? encoded.size()
                                                                 : encoded.size() - lastBreak - 3);
    out.append(viewOf(encoded).substr(std::min(encoded.size(), line.size() - bytes_.size())));
    bytes_.erase(0, last ? bytes_.size() : bytes_.size() - 1);
  }

  std::unique_ptr<FilterStage> clone() const override {
    return std::make_unique<QuotedEncoding>(*this);
  }

 private:
  // Letters that bring the encoder to the column without a soft break, each written as it is.
  // A line passes the soft-break column (75) only through a letter there that a CR follows, so
  // a column beyond 76 gets its CR in the same place. At 76 itself the CR is the first byte.
  static std::string columnFiller(int column) {
    std::string filler(static_cast<size_t>(column), 'x');
    if (column > kPastBreakColumn) filler[kPastBreakColumn] = '\r';
    return filler;
  }

  // The length of the answer before the last byte's letters: one when it is written as it is
  // (the encoder saw nothing after it), three for an escape, and a soft break before them.
  static size_t withoutLastByte(const std::u16string& encoded, unsigned char byte) {
    bool literal = byte == '\t' || byte == ' ' || byte == '\r' || byte == '\n' ||
                   (byte >= 33 && byte <= 126 && byte != '=');
    size_t end = encoded.size() - (literal ? 1 : 3);
    if (end >= 3 && encoded.compare(end - 3, 3, u"=\r\n") == 0) end -= 3;
    return end;
  }

  static constexpr int kPastBreakColumn = 76;

  PA_4DCharSet charset_;
  std::string bytes_;
  int column_ = 0;
};

}  // namespace

// How many of the bytes end with a whole UTF-8 character: an unfinished last sequence waits.
size_t wholeUTF8Length(std::string_view bytes) {
  size_t n = bytes.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    auto byte = static_cast<unsigned char>(bytes[n - back]);
    if ((byte & 0xC0) == 0x80) continue;
    size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return length > back ? n - back : n;
  }
  return n;
}

FilterStream::FilterStream(int filter, PA_4DCharSet charset) {
  int lineEnds = filter & (kFilterCRToCRLF | kFilterCRLFToCR);
  if (lineEnds == kFilterCRToCRLF) stages_.push_back(crToCRLF());
  if (lineEnds == kFilterCRLFToCR) stages_.push_back(crlfToCR());
  int html = filter & (kFilterHTMLEncodeAll | kFilterHTMLDecode | kFilterHTMLEncodeKeepMarkup);
  if ((html & (kFilterHTMLEncodeAll | kFilterHTMLEncodeKeepMarkup)) != 0 &&
      (html & kFilterHTMLDecode) == 0) {
    stages_.push_back(htmlEncoding((html & kFilterHTMLEncodeAll) != 0 ? 0 : 1));
  }
  if (html == kFilterHTMLDecode) stages_.push_back(htmlDecoding());
  int base64 = filter & (kFilterBase64Encode | kFilterBase64Decode);
  if (base64 == kFilterBase64Encode) stages_.push_back(std::make_unique<Base64Encoding>(charset));
  if (base64 == kFilterBase64Decode) stages_.push_back(std::make_unique<Base64Decoding>(charset));
  int quoted = filter & (kFilterQPEncode | kFilterQPDecode);
  if (quoted == kFilterQPDecode) addQuotedDecoding(stages_, charset);
  if (quoted == kFilterQPEncode) stages_.push_back(std::make_unique<QuotedEncoding>(charset));
}

FilterStream::~FilterStream() = default;

FilterStream::FilterStream(const FilterStream& other)
    : inputHeld_(other.inputHeld_), held_(other.held_) {
  for (const std::unique_ptr<FilterStage>& stage : other.stages_) {
    stages_.push_back(stage->clone());
  }
}

std::u16string FilterStream::push(std::u16string_view units) { return run(units, false); }

std::u16string FilterStream::finish() { return run({}, true); }

std::u16string FilterStream::run(std::u16string_view units, bool last) {
  // A chunk that ends inside a character gives its first half to the next one.
  std::u16string text(inputHeld_);
  text.append(units);
  inputHeld_.clear();
  if (!last && !text.empty() && isHighSurrogate(text.back())) {
    inputHeld_ = text.back();
    text.pop_back();
  }
  for (const std::unique_ptr<FilterStage>& stage : stages_) {
    std::u16string given;
    stage->push(text, last, given);
    text = std::move(given);
  }
  // A character's two halves go to the character-set conversion together.
  text.insert(0, held_);
  held_.clear();
  if (!last && !text.empty() && isHighSurrogate(text.back())) {
    held_ = text.back();
    text.pop_back();
  }
  return text;
}
