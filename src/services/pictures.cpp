// The picture commands (pictures.h).

#include "services/pictures.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include <unicode/unistr.h>

#include "files/file_io.h"
#include "files/xfile.h"

namespace pictures {

namespace {

// The patterns end with the host's wildcard '@', which matches any rest of a type name such as
// ".png;image/png".
constexpr PA_Unichar kPICTPattern[] = {'.', 'p', 'i', 'c', 't', ';', '@', 0};  // ".pict;@"
constexpr PA_Unichar kGIFPattern[] = {'.', 'g', 'i', 'f', ';', '@', 0};        // ".gif;@"
constexpr PA_Unichar kJPGPattern[] = {'.', 'j', 'p', 'g', ';', '@', 0};        // ".jpg;@"
constexpr PA_Unichar kPNGPattern[] = {'.', 'p', 'n', 'g', ';', '@', 0};        // ".png;@"

constexpr int32_t kFailed = -1;
constexpr int32_t kHeaderBytes = 512;
constexpr int32_t kFirstFormat = 1;

// What ZUV_PictureInfo reports for each type: PNG is 4, not its index 3.
constexpr int32_t kTypeCodes[4] = {0, 1, 2, 4};
constexpr int32_t kNoType = -1;

// Host command 457 fills a picture's width and height into its second and third arguments.
constexpr int32_t kCommandPictureSize = 457;

// The bytes start .. end - 1 of n bytes: a negative first offset counts as 0, an end of 0 or
// less or beyond n as n; a range that holds nothing is all n bytes instead.
struct ByteRange {
  int64_t start;
  int64_t length;
};

ByteRange rangeOf(int64_t n, int64_t first, int64_t end) {
  int64_t start = first < 0 ? 0 : std::min(first, n);
  int64_t stop = end <= 0 || end > n ? n : end;
  if (start < stop) return {start, stop - start};
  return {0, n};
}

// The extension of a type, its pattern up to the ';'.
icu::UnicodeString extensionOf(int type) {
  const PA_Unichar* pattern = supportedTypes[type];
  const PA_Unichar* semicolon = pattern;
  while (*semicolon != u';') ++semicolon;
  return icu::UnicodeString(reinterpret_cast<const UChar*>(pattern),
                            static_cast<int32_t>(semicolon - pattern));
}

// The path a picture of this type is written to: its extension added unless the path ends with
// it already; a type none of the patterns match gets ".pict" whatever the path ends with.
icu::UnicodeString withExtension(icu::UnicodeString path, int type) {
  if (type < 0) return path.append(extensionOf(kPICT));
  icu::UnicodeString extension = extensionOf(type);
  if (!path.endsWith(extension)) path.append(extension);
  return path;
}

int32_t readLongint(const PA_Variable& variable) {
  int32_t value;
  std::memcpy(&value, variable.fValue, sizeof value);
  return value;
}

}  // namespace

int32_t savePict(HostPicture picture, const icu::UnicodeString* path, int32_t first, int32_t end,
                 bool header) {
  if (picture == nullptr) return kFailed;
  TypeName typeName;
  unique_handle data = getPictureData(picture, kFirstFormat, typeName);
  if (!data) return kFailed;
  if (path == nullptr) return kFailed;
  unique_file file(xfile::fopen(withExtension(*path, getPictType(typeName)), "wb"));
  if (!file) return errno;
  if (header) {
    const char zeros[kHeaderBytes] = {};
    if (int code = fwriteData(zeros, sizeof zeros, file.get())) return code;
  }
  ByteRange range = rangeOf(PA_GetHandleSize(data.get()), first, end);
  {
    unique_handle_lock bytes(data.get());
    if (int code =
            fwriteData(bytes.data() + range.start, static_cast<size_t>(range.length), file.get())) {
      return code;
    }
  }
  return closeWrittenFile(file);
}

HostPicture readPict(const icu::UnicodeString* path, int32_t first, int32_t end, bool header) {
  if (path == nullptr) return nullptr;
  int64_t size;
  if (!getFileSize(*path, size) || size > kMaxLength) return nullptr;
  unique_file file(xfile::fopen(*path, "rb"));
  if (!file) return nullptr;
  ByteRange range = rangeOf(size, first, end);
  if (header) {
    if (range.length < kHeaderBytes) return nullptr;
    range.start += kHeaderBytes;
    range.length -= kHeaderBytes;
  }
  if (range.length == 0) return nullptr;
  std::unique_ptr<char[]> bytes(new (std::nothrow) char[static_cast<size_t>(range.length)]);
  if (!bytes || fseeko(file.get(), range.start, SEEK_SET) != 0) return nullptr;
  if (freadData(bytes.get(), static_cast<size_t>(range.length), file.get()) != 0) return nullptr;
  return PA_CreatePicture(bytes.get(), static_cast<int32_t>(range.length));
}

const PA_Unichar* const supportedTypes[4] = {kPICTPattern, kGIFPattern, kJPGPattern, kPNGPattern};

void TypeName::take(const PA_Unistring& text, bool made) {
  reset();
  text_ = text;
  made_ = made;
}

void TypeName::reset() {
  if (made_) PA_DisposeUnistring(&text_);
  text_ = PA_Unistring{};
  made_ = false;
}

int getPictType(const TypeName& typeName) {
  if (!typeName.made() || typeName.get().fString == nullptr) return -1;
  for (int type = kPICT; type <= kPNG; ++type) {
    if (PA_CompareUnichars(typeName.get().fString, supportedTypes[type], 0, 1) == 0) return type;
  }
  return -1;
}

unique_handle getPictureData(HostPicture picture, int32_t index, TypeName& typeName) {
  typeName.reset();
  {
    TypeName look;
    PA_Unistring name = PA_GetPictureData(picture, index, nullptr);
    look.take(name, PA_GetLastError() == 0);
    if (!look.made()) return unique_handle();
  }
  unique_handle data(PA_NewHandle(0));
  if (!data) return data;
  PA_Unistring name = PA_GetPictureData(picture, index, data.get());
  typeName.take(name, PA_GetLastError() == 0);
  if (!typeName.made()) data.reset();
  return data;
}

bool getSize(HostPicture picture, PictureInfo& info) {
  if (picture == nullptr) return false;
  // Longint records all three, the first then made a picture record: a record made as a picture
  // would hold an empty picture of its own that nothing releases.
  PA_Variable image = PA_CreateVariable(kVariableLongint);
  PA_Variable width = PA_CreateVariable(kVariableLongint);
  PA_Variable height = PA_CreateVariable(kVariableLongint);
  PA_SetPictureVariable(&image, picture);
  PA_SetLongintVariable(&width, 0);
  PA_SetLongintVariable(&height, 0);
  PA_Variable* args[] = {&image, &width, &height};
  executeCommand(kCommandPictureSize, args, 3, nullptr);
  info.height = readLongint(height);
  info.width = readLongint(width);
  TypeName typeName;
  unique_handle data = getPictureData(picture, kFirstFormat, typeName);
  if (!data) return true;
  int type = getPictType(typeName);
  info.hasData = true;
  info.type = type < 0 ? kNoType : kTypeCodes[type];
  info.bytes = PA_GetHandleSize(data.get());
  return true;
}

unique_handle pictToBlob(HostPicture picture) {
  if (picture == nullptr) return unique_handle();
  TypeName typeName;
  return getPictureData(picture, kFirstFormat, typeName);
}

HostPicture blobToPict(HostHandle blob, bool empty) {
  if (blob == nullptr) return nullptr;
  HostPicture picture;
  {
    unique_handle_lock bytes(blob);
    picture = PA_CreatePicture(bytes.data(), PA_GetHandleSize(blob));
  }
  if (empty) PA_SetHandleSize(blob, 0);
  return picture;
}

}  // namespace pictures
