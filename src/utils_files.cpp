// The pieces the file commands share: see utils_files.h.

#include "utils_files.h"

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"
#include "xfile.h"

bool platformPathParameter(PluginBlock* block, int index, icu::UnicodeString& path) {
  const PA_Unistring* text = PA_GetStringParameter(block, index);
  if (text == nullptr || text->fLength <= 0 || text->fString == nullptr) return false;
  path.setTo(reinterpret_cast<const UChar*>(text->fString), text->fLength);
  return convertToPlatformPath(path);
}

EncodedChars utf8Path(const icu::UnicodeString& path) {
  return convertToChars(reinterpret_cast<const unsigned short*>(path.getBuffer()), path.length(),
                        kCharSetUTF8);
}

bool sameFile(const icu::UnicodeString& source, const icu::UnicodeString& destination) {
  struct stat from;
  struct stat to;
  if (xfile::stat(source, from) != 0 || xfile::stat(destination, to) != 0) return false;
  return from.st_dev == to.st_dev && from.st_ino == to.st_ino;
}

int streamErrno() { return errno != 0 ? errno : EIO; }

int closeWrittenFile(unique_file& file) {
  errno = 0;
  FILE* raw = file.release();
  if (raw == nullptr) return 0;
  const bool failed = std::ferror(raw) != 0;
  if (std::fclose(raw) != 0 || failed) return streamErrno();
  return 0;
}

int64_t bytesLeft(FILE* file) {
  struct stat st;
  if (::fstat(fileno(file), &st) != 0) return 0;
  const long position = std::ftell(file);
  if (position < 0 || position > st.st_size) return 0;
  return static_cast<int64_t>(st.st_size) - position;
}

ConversionDestination::~ConversionDestination() {
  if (finished_) return;
  file_.reset();
  if (removeOnFailure_ && removable_) xfile::remove(path_);
}

int ConversionDestination::open() {
  errno = 0;
  file_.reset(xfile::fopen(path_, "wb"));
  if (!file_) return streamErrno();
  // Only a file made or truncated here is removed on failure: never a device or a pipe that the
  // path named.
  struct stat st;
  removable_ = ::fstat(fileno(file_.get()), &st) == 0 && S_ISREG(st.st_mode);
  // A missing attribute is what is wanted here; a sidecar that cannot be cleared shows at the
  // first write of the conversion's own forks.
  platform::removeAttribute(fileno(file_.get()), kFinderInfoAttr);
  platform::removeAttribute(fileno(file_.get()), kResourceForkAttr);
  return 0;
}

int ConversionDestination::finish() {
  const int code = closeWrittenFile(file_);
  if (code == 0) finished_ = true;
  return code;
}
