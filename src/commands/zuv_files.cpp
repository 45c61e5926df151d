// The file conversion commands (ZUV_File2MacBinary, ZUV_MacBinary2File, ZUV_File2BinHex,
// ZUV_BinHex2File, ZUV_File2Gzip, ZUV_Gzip2File) and ZUV_OpenDocument. The six conversions share
// convertFile: it reads the two paths, makes them POSIX paths and answers the converter's code.

#include "commands/zuv_commands.h"
#include "files/binhex.h"
#include "files/conversion.h"
#include "files/gzip.h"
#include "files/macbinary.h"
#include "files/xfile.h"
#include "plugin/parameters.h"

namespace {

enum ConversionType {
  MacBinaryEncode = 0,
  MacBinaryDecode = 1,
  BinHexEncode = 2,
  BinHexDecode = 3,
  GzipEncode = 4,
  GzipDecode = 5,
};

constexpr int32_t kEmptyPath = 2;
constexpr int32_t kBadPath = -1;

// Runs the conversion; level is the gzip compression level.
int convert(ConversionType conversion, const icu::UnicodeString& source,
            const icu::UnicodeString& destination, int32_t level) {
  switch (conversion) {
    case MacBinaryEncode:
      return macbinary::encode(source, destination);
    case MacBinaryDecode:
      return macbinary::decode(source, destination);
    case BinHexEncode:
      return binhex::encode(source, destination);
    case BinHexDecode:
      return binhex::decode(source, destination);
    case GzipEncode:
      return gzip::encode(source, destination, level);
    case GzipDecode:
      return gzip::decode(source, destination);
  }
  return kBadPath;
}

int32_t conversionResult(PluginBlock* block, ConversionType conversion, int32_t level) {
  icu::UnicodeString source;
  icu::UnicodeString destination;
  const PathParameter sourceRead = platformPathParameter(block, 1, source);
  const PathParameter destinationRead = platformPathParameter(block, 2, destination);
  if (sourceRead == PathParameter::kEmpty || destinationRead == PathParameter::kEmpty) {
    return kEmptyPath;
  }
  if (sourceRead == PathParameter::kRefused || destinationRead == PathParameter::kRefused) {
    return kBadPath;
  }
  // Writing the destination would truncate the source before it is read: refused before either
  // file is touched.
  if (sameFile(source, destination)) return kConversionSameFile;
  return convert(conversion, source, destination, level);
}

// Reads the two paths, and answers 2 when either is empty, -1 when either names no file or both
// name one, else the conversion's code. Only ZUV_File2Gzip has a level, parameter 3.
void convertFile(PluginBlock* block, ConversionType conversion, int32_t level = 0) {
  PA_ReturnLong(block, conversionResult(block, conversion, level));
}

// Host language command 264 opens a document: (path, file types, mode).
constexpr int32_t kOpenDocumentCommand = 264;
constexpr int32_t kReadOnlyMode = 2;
constexpr int32_t kNoDocument = 0;
constexpr PA_Unichar kAllTypes[] = {u'*', 0};

// A host text made for one call and disposed at its end; one the host refused is not disposed.
class HostText {
 public:
  explicit HostText(const PA_Unichar* units)
      : text_(PA_CreateUnistring(units)), made_(PA_GetLastError() == 0) {}
  ~HostText() {
    if (made_) PA_DisposeUnistring(&text_);
  }
  HostText(const HostText&) = delete;
  HostText& operator=(const HostText&) = delete;
  PA_Unistring* get() { return &text_; }

 private:
  PA_Unistring text_;
  bool made_;
};

int32_t openDocument(PluginBlock* block) {
  // 4D reads the path itself, so the host is given the text as it stands; one that names no
  // file here is not handed over.
  icu::UnicodeString named;
  if (platformPathParameter(block, 1, named) == PathParameter::kRefused) return kNoDocument;
  HostText allTypes(kAllTypes);
  // The path and types records share their texts' units: they are not cleared.
  PA_Variable path{};
  PA_Variable types{};
  PA_Variable mode{};
  PA_SetStringVariable(&path, PA_GetStringParameter(block, 1));
  PA_SetStringVariable(&types, allTypes.get());
  PA_SetLongintVariable(&mode, kReadOnlyMode);
  PA_Variable* args[] = {&path, &types, &mode};
  PA_Variable answer{};
  executeCommand(kOpenDocumentCommand, args, 3, &answer);
  const int32_t reference = PA_GetTimeVariable(answer);
  // The answer is ours: whatever the host put in it is given back.
  PA_ClearVariable(&answer);
  return reference;
}

}  // namespace

void handleFile2MacBinary(PluginBlock* block) { convertFile(block, MacBinaryEncode); }
void handleMacBinary2File(PluginBlock* block) { convertFile(block, MacBinaryDecode); }
void handleFile2BinHex(PluginBlock* block) { convertFile(block, BinHexEncode); }
void handleBinHex2File(PluginBlock* block) { convertFile(block, BinHexDecode); }
void handleFile2Gzip(PluginBlock* block) {
  convertFile(block, GzipEncode, PA_GetLongParameter(block, 3));
}
void handleGzip2File(PluginBlock* block) { convertFile(block, GzipDecode); }

void handleOpenDocument(PluginBlock* block) { PA_ReturnLong(block, openDocument(block)); }
