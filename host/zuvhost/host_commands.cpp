#include "host_commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>

#include "charsets.h"
#include "files.h"
#include "interpreter.h"
#include "operators.h"

namespace zuvhost {

namespace {

// A script may declare an array this large at most; 4D's own limit is far above what a script
// around the plug-in needs, and the cap keeps a typing slip from eating the memory.
constexpr int64_t kMaxArraySize = 16 * 1024 * 1024;

Typed none() { return Typed{}; }

const host::Text& textArgument(Interpreter& in, const Expr& expr, Typed& holder) {
  holder = in.evaluateAs(expr, Kind::Text);
  return std::get<host::Text>(holder.value);
}

host::Text textArgument(Interpreter& in, const Expr& expr) {
  Typed holder;
  return textArgument(in, expr, holder);
}

int64_t wholeArgument(Interpreter& in, const Expr& expr) {
  return std::get<int64_t>(in.evaluateAs(expr, Kind::Longint).value);
}

std::string pathArgument(Interpreter& in, const Expr& expr) {
  return utf8FromText(textArgument(in, expr));
}

std::string readFile(const std::string& path, const Expr& call) {
  std::string bytes;
  std::string failure = readWholeFile(path, bytes);
  if (!failure.empty()) throw ScriptError(call.position, "cannot read " + path + ": " + failure);
  return bytes;
}

void writeFile(const std::string& path, const std::string& bytes, const Expr& call) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (file) file.close();
  if (!file) throw ScriptError(call.position, "cannot write " + path + ": " + std::strerror(errno));
}

host::Blob& blobVariable(Interpreter& in, const Expr& expr) {
  return std::get<host::Blob>(in.bindVariable(expr, Kind::Blob).value);
}

// The host's type name for a picture file's bytes, read from their signature.
std::string pictureType(const std::string& bytes) {
  auto startsWith = [&](const char* signature, size_t length) {
    return bytes.compare(0, length, signature, length) == 0;
  };
  if (startsWith("\x89PNG", 4)) return ".png;image/png";
  if (startsWith("GIF8", 4)) return ".gif;image/gif";
  if (startsWith("\xFF\xD8\xFF", 3)) return ".jpg;image/jpeg";
  if (startsWith("II*\0", 4) || startsWith("MM\0*", 4)) return ".tif;image/tiff";
  if (startsWith("BM", 2)) return ".bmp;image/bmp";
  return ".pict;image/pict";
}

Typed documentToBlob(Interpreter& in, const Expr& call) {
  std::string bytes = readFile(pathArgument(in, call.args[0]), call);
  blobVariable(in, call.args[1]) = host::Blob{true, std::move(bytes)};
  return none();
}

Typed blobToDocument(Interpreter& in, const Expr& call) {
  std::string path = pathArgument(in, call.args[0]);
  const host::Blob& blob = blobVariable(in, call.args[1]);
  writeFile(path, blob.hasHandle ? blob.bytes : std::string(), call);
  return none();
}

// ---- Texts in BLOBs, in the formats 4D names ----------------------------------------------

enum TextFormat : int64_t {
  kMacCString = 0,
  kMacPascalString = 1,
  kMacTextWithLength = 2,
  kMacTextWithoutLength = 3,
  kUtf8CString = 4,
  kUtf8TextWithLength = 5,
  kUtf8TextWithoutLength = 6,
};

bool isUtf8Format(int64_t format) { return format >= kUtf8CString; }

std::string convertCharset(const std::string& bytes, int32_t from, int32_t to, size_t capacity) {
  std::string out(capacity, '\0');
  auto converted =
      host::charsets::convert(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                              from, reinterpret_cast<unsigned char*>(out.data()), capacity, to);
  out.resize(converted.written);
  return out;
}

std::string utf16Bytes(const host::Text& text) {
  return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

host::Text textOfUtf16Bytes(const std::string& bytes) {
  host::Text text(bytes.size() / 2, u'\0');
  std::memcpy(text.data(), bytes.data(), text.size() * 2);
  return text;
}

// Mac Roman has one byte a character; a character it lacks becomes what the host puts for it.
std::string macRomanOf(const host::Text& text) {
  return convertCharset(utf16Bytes(text), host::charsets::kUTF16, host::charsets::kMacRoman,
                        text.size());
}

host::Text textOfMacRoman(const std::string& bytes) {
  return textOfUtf16Bytes(
      convertCharset(bytes, host::charsets::kMacRoman, host::charsets::kUTF16, bytes.size() * 2));
}

// A length before the text, in the byte order of this machine as 4D writes it.
template <typename Length>
std::string lengthBytes(Length length) {
  return std::string(reinterpret_cast<const char*>(&length), sizeof length);
}

std::string encodeText(const host::Text& text, int64_t format) {
  std::string bytes = isUtf8Format(format) ? utf8FromText(text) : macRomanOf(text);
  switch (format) {
    case kMacCString:
    case kUtf8CString:
      return bytes.substr(0, bytes.find('\0')) + '\0';
    case kMacPascalString:
      bytes.resize(std::min<size_t>(bytes.size(), 255));
      return lengthBytes(static_cast<uint8_t>(bytes.size())) + bytes;
    case kMacTextWithLength:
      bytes.resize(std::min<size_t>(bytes.size(), 32767));
      return lengthBytes(static_cast<uint16_t>(bytes.size())) + bytes;
    case kUtf8TextWithLength:
      return lengthBytes(static_cast<uint32_t>(bytes.size())) + bytes;
    default:
      return bytes;
  }
}

int64_t textFormat(Interpreter& in, const Expr& call, size_t index) {
  if (call.args.size() <= index) return kUtf8TextWithoutLength;
  int64_t format = wholeArgument(in, call.args[index]);
  if (format < kMacCString || format > kUtf8TextWithoutLength) {
    throw ScriptError(call.args[index].position, "no text format " + std::to_string(format) +
                                                     " (0 to 6, e.g. " +
                                                     "UTF8 text without length)");
  }
  return format;
}

int64_t& offsetVariable(Interpreter& in, const Expr& call, size_t index, size_t blobSize) {
  int64_t& offset = std::get<int64_t>(in.bindVariable(call.args[index], Kind::Longint).value);
  if (offset < 0 || static_cast<uint64_t>(offset) > blobSize) {
    throw ScriptError(call.args[index].position, "the offset " + std::to_string(offset) +
                                                     " is outside the BLOB (0 to " +
                                                     std::to_string(blobSize) + ")");
  }
  return offset;
}

// TEXT TO BLOB(text; blob {; format {; offset}}): without an offset the BLOB becomes the text;
// with one, the text is written there, the BLOB grows as needed and the offset moves past it.
Typed textToBlob(Interpreter& in, const Expr& call) {
  std::string bytes = encodeText(textArgument(in, call.args[0]), textFormat(in, call, 2));
  host::Blob& blob = blobVariable(in, call.args[1]);
  if (call.args.size() < 4) {
    blob = host::Blob{true, std::move(bytes)};
    return none();
  }
  if (!blob.hasHandle) blob = host::Blob{true, {}};
  int64_t& offset = offsetVariable(in, call, 3, blob.bytes.size());
  size_t at = static_cast<size_t>(offset);
  if (blob.bytes.size() < at + bytes.size()) blob.bytes.resize(at + bytes.size());
  blob.bytes.replace(at, bytes.size(), bytes);
  offset += static_cast<int64_t>(bytes.size());
  return none();
}

// UTF-8 bytes of at most `characters` characters from `bytes`.
size_t utf8PrefixOf(const std::string& bytes, int64_t characters) {
  size_t end = 0;
  for (int64_t counted = 0; end < bytes.size() && counted < characters; ++counted) {
    ++end;
    while (end < bytes.size() && (static_cast<unsigned char>(bytes[end]) & 0xC0) == 0x80) ++end;
  }
  return end;
}

template <typename Length>
size_t readLength(const std::string& bytes, size_t at, const Expr& call) {
  if (bytes.size() - at < sizeof(Length))
    throw ScriptError(call.position, "the BLOB ends before the text's length");
  Length length;
  std::memcpy(&length, bytes.data() + at, sizeof length);
  if (bytes.size() - at - sizeof length < length) {
    throw ScriptError(call.position, "the BLOB ends before the text does");
  }
  return length;
}

// Where the text starts and how many bytes it has, and how many bytes it takes in all.
struct TextSpan {
  size_t start, size, used;
};

TextSpan textSpan(const std::string& bytes, size_t at, int64_t format, int64_t characters,
                  const Expr& call) {
  switch (format) {
    case kMacCString:
    case kUtf8CString: {
      size_t end = bytes.find('\0', at);
      if (end == std::string::npos) return TextSpan{at, bytes.size() - at, bytes.size() - at};
      return TextSpan{at, end - at, end - at + 1};
    }
    case kMacPascalString: {
      size_t size = readLength<uint8_t>(bytes, at, call);
      return TextSpan{at + 1, size, size + 1};
    }
    case kMacTextWithLength: {
      size_t size = readLength<uint16_t>(bytes, at, call);
      return TextSpan{at + 2, size, size + 2};
    }
    case kUtf8TextWithLength: {
      size_t size = readLength<uint32_t>(bytes, at, call);
      return TextSpan{at + 4, size, size + 4};
    }
    default: {
      std::string rest = bytes.substr(at);
      size_t size = characters < 0         ? rest.size()
                    : isUtf8Format(format) ? utf8PrefixOf(rest, characters)
                                           : std::min<size_t>(rest.size(), characters);
      return TextSpan{at, size, size};
    }
  }
}

// BLOB to text(blob {; format {; offset {; length}}}): the length, in characters, bounds the
// formats without a length of their own.
Typed blobToText(Interpreter& in, const Expr& call) {
  const host::Blob& blob = blobVariable(in, call.args[0]);
  std::string empty;
  const std::string& bytes = blob.hasHandle ? blob.bytes : empty;
  int64_t format = textFormat(in, call, 1);
  int64_t* offset = call.args.size() > 2 ? &offsetVariable(in, call, 2, bytes.size()) : nullptr;
  int64_t characters = call.args.size() > 3 ? wholeArgument(in, call.args[3]) : -1;
  TextSpan span =
      textSpan(bytes, offset ? static_cast<size_t>(*offset) : 0, format, characters, call);
  std::string text = bytes.substr(span.start, span.size);
  if (offset) *offset += static_cast<int64_t>(span.used);
  return Typed{Kind::Text, isUtf8Format(format) ? textFromUtf8(text) : textOfMacRoman(text)};
}

Typed blobSize(Interpreter& in, const Expr& call) {
  const host::Blob& blob = blobVariable(in, call.args[0]);
  return Typed{Kind::Longint, static_cast<int64_t>(blob.hasHandle ? blob.bytes.size() : 0)};
}

Typed length(Interpreter& in, const Expr& call) {
  return Typed{Kind::Longint, static_cast<int64_t>(textArgument(in, call.args[0]).size())};
}

Typed readPictureFile(Interpreter& in, const Expr& call) {
  std::string bytes = readFile(pathArgument(in, call.args[0]), call);
  host::Picture picture;
  picture.formats.push_back(host::PictureFormat{pictureType(bytes), std::move(bytes)});
  in.bindVariable(call.args[1], Kind::Picture).value = std::move(picture);
  return none();
}

Typed writePictureFile(Interpreter& in, const Expr& call) {
  std::string path = pathArgument(in, call.args[0]);
  const auto& picture = std::get<host::Picture>(in.bindVariable(call.args[1], Kind::Picture).value);
  writeFile(path, picture.formats.empty() ? std::string() : picture.formats.front().bytes, call);
  return none();
}

// Ticks are 1/60 s, as everywhere in 4D.
Typed delayProcess(Interpreter& in, const Expr& call) {
  int64_t ticks = wholeArgument(in, call.args[0]);
  if (ticks > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ticks * 1000 / 60));
  return none();
}

// ARRAY declares the array, or resizes it keeping its elements when it already has that kind.
template <typename ArrayType>
Typed declareArray(Interpreter& in, const Expr& call, Kind kind) {
  int64_t size = wholeArgument(in, call.args[1]);
  if (size < 0 || size > kMaxArraySize) {
    throw ScriptError(call.args[1].position,
                      "an array holds 0 to " + std::to_string(kMaxArraySize) + " elements");
  }
  Typed& variable = in.variableSlot(call.args[0]);
  if (variable.kind != kind) variable = Typed{kind, ArrayType{}};
  std::get<ArrayType>(variable.value).elements.resize(static_cast<size_t>(size) + 1);
  return none();
}

Typed arrayInteger(Interpreter& in, const Expr& call) {
  return declareArray<host::IntegerArray>(in, call, Kind::IntegerArray);
}
Typed arrayLongint(Interpreter& in, const Expr& call) {
  return declareArray<host::LongintArray>(in, call, Kind::LongintArray);
}
Typed arrayText(Interpreter& in, const Expr& call) {
  return declareArray<host::TextArray>(in, call, Kind::TextArray);
}

// ---- Functions of 4D's language ----------------------------------------------------------

// String(value): numbers, dates and times as zuvhost prints them, Booleans as True or False.
Typed string(Interpreter& in, const Expr& call) {
  Typed value = in.evaluate(call.args[0]);
  if (value.kind == Kind::Text) return value;
  std::string printed = printedForm(value);
  if (!printed.empty() && printed.back() == '\n') printed.pop_back();
  return Typed{Kind::Text, textFromUtf8(printed)};
}

// Num(text) keeps the digits, the first decimal point and a leading minus sign and ignores
// every other character, as 4D does ("a1b2" is 12); Num of a Boolean is 1 or 0.
double numberInText(const host::Text& text) {
  std::string kept;
  bool point = false;
  for (char16_t c : text) {
    if (c >= u'0' && c <= u'9') {
      kept += static_cast<char>(c);
    } else if (c == u'.' && !point) {
      kept += '.';
      point = true;
    } else if (c == u'-' && kept.empty()) {
      kept += '-';
    }
  }
  return std::strtod(kept.c_str(), nullptr);
}

Typed num(Interpreter& in, const Expr& call) {
  Typed value = in.evaluate(call.args[0]);
  if (auto* boolean = std::get_if<bool>(&value.value))
    return Typed{Kind::Real, *boolean ? 1.0 : 0.0};
  if (auto* text = std::get_if<host::Text>(&value.value)) {
    return Typed{Kind::Real, numberInText(*text)};
  }
  if (isNumberKind(value.kind)) return Typed{Kind::Real, realOf(value.value)};
  throw ScriptError(call.args[0].position, "Num takes a Text, a number or a Boolean, not a " +
                                               kindDisplayName(value.kind));
}

Typed character(Interpreter& in, const Expr& call) {
  int64_t code = wholeArgument(in, call.args[0]);
  if (code < 0 || code > 0xFFFF) {
    throw ScriptError(call.args[0].position,
                      "a character code is 0 to 65535, not " + std::to_string(code));
  }
  return Typed{Kind::Text, host::Text(1, static_cast<char16_t>(code))};
}

Typed characterCode(Interpreter& in, const Expr& call) {
  host::Text text = textArgument(in, call.args[0]);
  if (text.empty()) throw ScriptError(call.args[0].position, "Character code of an empty text");
  return Typed{Kind::Longint, int64_t{text[0]}};
}

// Substring(text; first {; count}): characters count from 1; a first before 1 counts from 1.
Typed substring(Interpreter& in, const Expr& call) {
  host::Text text = textArgument(in, call.args[0]);
  int64_t first = std::max<int64_t>(wholeArgument(in, call.args[1]), 1);
  int64_t count =
      call.args.size() > 2 ? wholeArgument(in, call.args[2]) : static_cast<int64_t>(text.size());
  if (first > static_cast<int64_t>(text.size()) || count <= 0)
    return Typed{Kind::Text, host::Text()};
  return Typed{Kind::Text, text.substr(static_cast<size_t>(first - 1), static_cast<size_t>(count))};
}

// Position(find; in {; start}): where `find` first starts, from 1, ignoring the case of letters
// as 4D does; 0 when it does not occur.
Typed position(Interpreter& in, const Expr& call) {
  host::Text wanted = foldCase(textArgument(in, call.args[0]));
  host::Text text = foldCase(textArgument(in, call.args[1]));
  int64_t start = call.args.size() > 2 ? std::max<int64_t>(wholeArgument(in, call.args[2]), 1) : 1;
  if (wanted.empty() || start > static_cast<int64_t>(text.size()))
    return Typed{Kind::Longint, int64_t{0}};
  size_t found = text.find(wanted, static_cast<size_t>(start - 1));
  return Typed{Kind::Longint,
               found == host::Text::npos ? int64_t{0} : static_cast<int64_t>(found + 1)};
}

Typed sizeOfArray(Interpreter& in, const Expr& call) {
  Typed& array = in.variableSlot(call.args[0]);
  int64_t size = 0;
  std::visit(
      [&](const auto& held) {
        if constexpr (std::is_same_v<std::decay_t<decltype(held)>, host::IntegerArray> ||
                      std::is_same_v<std::decay_t<decltype(held)>, host::LongintArray> ||
                      std::is_same_v<std::decay_t<decltype(held)>, host::TextArray>) {
          size = held.elements.empty() ? 0 : static_cast<int64_t>(held.elements.size() - 1);
        } else {
          throw ScriptError(call.args[0].position, call.args[0].text + " is not an array");
        }
      },
      array.value);
  return Typed{Kind::Longint, size};
}

std::tm localNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

Typed currentDate(Interpreter&, const Expr&) {
  std::tm now = localNow();
  return Typed{Kind::Date,
               host::Date{static_cast<int16_t>(now.tm_mday), static_cast<int16_t>(now.tm_mon + 1),
                          static_cast<int16_t>(now.tm_year + 1900)}};
}

Typed currentTime(Interpreter&, const Expr&) {
  std::tm now = localNow();
  return Typed{Kind::Time, int64_t{now.tm_hour * 3600 + now.tm_min * 60 + now.tm_sec}};
}

// Milliseconds since the machine started, as a Longint that wraps after about 24 days.
Typed milliseconds(Interpreter&, const Expr&) {
  auto since = std::chrono::steady_clock::now().time_since_epoch();
  int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
  return Typed{Kind::Longint, numberOfKind(ms, Kind::Longint)};
}

Typed notOf(Interpreter& in, const Expr& call) {
  return Typed{Kind::Boolean, !std::get<bool>(in.evaluateAs(call.args[0], Kind::Boolean).value)};
}

constexpr HostParam kText{Kind::Text, false};
constexpr HostParam kWhole{Kind::Longint, false};
constexpr HostParam kAny{Kind::None, false};
constexpr HostParam kBlobVariable{Kind::Blob, true};
constexpr HostParam kPictureVariable{Kind::Picture, true};
constexpr HostParam kWholeVariable{Kind::Longint, true};
constexpr HostParam kAnyArray{Kind::None, true};

const HostCommand kHostCommands[] = {
    {"DOCUMENT TO BLOB", 2, {kText, kBlobVariable}, Kind::None, documentToBlob},
    {"BLOB TO DOCUMENT", 2, {kText, kBlobVariable}, Kind::None, blobToDocument},
    {"TEXT TO BLOB", 2, {kText, kBlobVariable, kWhole, kWholeVariable}, Kind::None, textToBlob},
    {"BLOB to text", 1, {kBlobVariable, kWhole, kWholeVariable, kWhole}, Kind::Text, blobToText},
    {"BLOB size", 1, {kBlobVariable}, Kind::Longint, blobSize},
    {"Length", 1, {kText}, Kind::Longint, length},
    {"READ PICTURE FILE", 2, {kText, kPictureVariable}, Kind::None, readPictureFile},
    {"WRITE PICTURE FILE", 2, {kText, kPictureVariable}, Kind::None, writePictureFile},
    {"DELAY PROCESS", 1, {kWhole}, Kind::None, delayProcess},
    {"ARRAY INTEGER", 2, {HostParam{Kind::IntegerArray, true}, kWhole}, Kind::None, arrayInteger},
    {"ARRAY LONGINT", 2, {HostParam{Kind::LongintArray, true}, kWhole}, Kind::None, arrayLongint},
    {"ARRAY TEXT", 2, {HostParam{Kind::TextArray, true}, kWhole}, Kind::None, arrayText},
    {"String", 1, {kAny}, Kind::Text, string},
    {"Num", 1, {kAny}, Kind::Real, num},
    {"Char", 1, {kWhole}, Kind::Text, character},
    {"Character code", 1, {kText}, Kind::Longint, characterCode},
    {"Substring", 2, {kText, kWhole, kWhole}, Kind::Text, substring},
    {"Position", 2, {kText, kText, kWhole}, Kind::Longint, position},
    {"Size of array", 1, {kAnyArray}, Kind::Longint, sizeOfArray},
    {"Current date", 0, {}, Kind::Date, currentDate},
    {"Current time", 0, {}, Kind::Time, currentTime},
    {"Milliseconds", 0, {}, Kind::Longint, milliseconds},
    {"Not", 1, {HostParam{Kind::Boolean, false}}, Kind::Boolean, notOf},
};

struct Constant {
  const char* name;
  Typed value;
};

// True and False, and the text formats of TEXT TO BLOB under their names old and new.
const Constant kConstants[] = {
    {"True", Typed{Kind::Boolean, true}},
    {"False", Typed{Kind::Boolean, false}},
    {"Mac C string", Typed{Kind::Longint, int64_t{kMacCString}}},
    {"Mac Pascal string", Typed{Kind::Longint, int64_t{kMacPascalString}}},
    {"Mac text with length", Typed{Kind::Longint, int64_t{kMacTextWithLength}}},
    {"Mac text without length", Typed{Kind::Longint, int64_t{kMacTextWithoutLength}}},
    {"C string", Typed{Kind::Longint, int64_t{kMacCString}}},
    {"Pascal string", Typed{Kind::Longint, int64_t{kMacPascalString}}},
    {"Text with length", Typed{Kind::Longint, int64_t{kMacTextWithLength}}},
    {"Text without length", Typed{Kind::Longint, int64_t{kMacTextWithoutLength}}},
    {"UTF8 C string", Typed{Kind::Longint, int64_t{kUtf8CString}}},
    {"UTF8 text with length", Typed{Kind::Longint, int64_t{kUtf8TextWithLength}}},
    {"UTF8 text without length", Typed{Kind::Longint, int64_t{kUtf8TextWithoutLength}}},
};

}  // namespace

const HostCommand* findHostCommand(std::string_view name) {
  std::string wanted = lowerCase(name);
  for (const HostCommand& command : kHostCommands) {
    if (lowerCase(command.name) == wanted) return &command;
  }
  return nullptr;
}

const Typed* findConstant(std::string_view name) {
  std::string wanted = lowerCase(name);
  for (const Constant& constant : kConstants) {
    if (lowerCase(constant.name) == wanted) return &constant.value;
  }
  return nullptr;
}

}  // namespace zuvhost
