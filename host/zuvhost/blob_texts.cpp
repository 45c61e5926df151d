#include "blob_texts.h"

#include <algorithm>
#include <cstring>

#include "charsets.h"
#include "host_commands.h"
#include "interpreter.h"

namespace zuvhost {

namespace {

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

}  // namespace

// TEXT TO BLOB(text; blob {; format {; offset}}): without an offset the BLOB becomes the text;
// with one, the text is written there, the BLOB grows as needed and the offset moves past it.
Typed textToBlob(Interpreter& in, const Expr& call) {
  std::string bytes = encodeText(textArgument(in, call.args[0]), textFormat(in, call, 2));
  host::Blob& blob = blobVariable(in, call.args[1]);
  if (call.args.size() < 4) {
    blob = host::Blob{true, std::move(bytes)};
    return Typed{};
  }
  if (!blob.hasHandle) blob = host::Blob{true, {}};
  int64_t& offset = offsetVariable(in, call, 3, blob.bytes.size());
  size_t at = static_cast<size_t>(offset);
  if (blob.bytes.size() < at + bytes.size()) blob.bytes.resize(at + bytes.size());
  blob.bytes.replace(at, bytes.size(), bytes);
  offset += static_cast<int64_t>(bytes.size());
  return Typed{};
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

}  // namespace zuvhost
