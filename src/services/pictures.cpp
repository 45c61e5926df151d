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
#include "plugin/parameters.h"

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

int32_t savePicture(PluginBlock* block) {
  HostPicture picture = PA_GetPictureParameter(block, 1);
  if (picture == nullptr) return kFailed;
  int32_t first = PA_GetLongParameter(block, 3);
  int32_t end = PA_GetLongParameter(block, 4);
  bool header = PA_GetLongParameter(block, 5) == 1;
  TypeName typeName;
  unique_handle data = getPictureData(picture, kFirstFormat, typeName);
  if (!data) return kFailed;
  icu::UnicodeString path;
  if (platformPathParameter(block, 2, path) != PathParameter::kRead) return kFailed;
  unique_file file(xfile::fopen(withExtension(path, getPictType(typeName)), "wb"));
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

HostPicture readPicture(PluginBlock* block) {
  icu::UnicodeString path;
  if (platformPathParameter(block, 1, path) != PathParameter::kRead) return nullptr;
  int64_t size;
  if (!getFileSize(path, size) || size > INT32_MAX) return nullptr;
  unique_file file(xfile::fopen(path, "rb"));
  if (!file) return nullptr;
  ByteRange range = rangeOf(size, PA_GetLongParameter(block, 2), PA_GetLongParameter(block, 3));
  if (PA_GetLongParameter(block, 4) == 1) {
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

}  // namespace

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

void getSize(PluginBlock* block) {
  HostPicture picture = PA_GetPictureParameter(block, 1);
  if (picture == nullptr) return PA_ReturnLong(block, kFailed);
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
  PA_SetLongParameter(block, 2, 0);
  PA_SetLongParameter(block, 3, 0);
  PA_SetLongParameter(block, 4, readLongint(height));
  PA_SetLongParameter(block, 5, readLongint(width));
  TypeName typeName;
  unique_handle data = getPictureData(picture, kFirstFormat, typeName);
  if (!data) return PA_ReturnLong(block, 0);
  int type = getPictType(typeName);
  PA_SetLongParameter(block, 6, type < 0 ? kNoType : kTypeCodes[type]);
  PA_ReturnLong(block, PA_GetHandleSize(data.get()));
}

void savePict(PluginBlock* block) {
  int32_t result;
  try {
    result = savePicture(block);
  } catch (...) {
    result = kFailed;
  }
  PA_ReturnLong(block, result);
}

void readPict(PluginBlock* block) {
  HostPicture picture = nullptr;
  try {
    picture = readPicture(block);
  } catch (...) {
    picture = nullptr;
  }
  if (picture != nullptr) PA_ReturnPicture(block, picture);
}

void pictToBlob(PluginBlock* block) {
  HostPicture picture = PA_GetPictureParameter(block, 1);
  if (picture == nullptr) return;
  TypeName typeName;
  unique_handle data = getPictureData(picture, kFirstFormat, typeName);
  if (data) PA_ReturnBlobHandle(block, data.release());
}

void blobToPict(PluginBlock* block) {
  HostHandle blob = PA_GetBlobHandleParameter(block, 1);
  if (blob == nullptr) return;
  bool empty = (PA_GetLongParameter(block, 2) & 1) != 0;
  HostPicture picture;
  {
    unique_handle_lock bytes(blob);
    picture = PA_CreatePicture(bytes.data(), PA_GetHandleSize(blob));
  }
  if (empty) PA_SetHandleSize(blob, 0);
  if (picture != nullptr) PA_ReturnPicture(block, picture);
}

}  // namespace pictures
