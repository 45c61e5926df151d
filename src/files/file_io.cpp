// The pieces the file commands share: see file_io.h.

#include "files/file_io.h"

#include <cerrno>

#include <sys/stat.h>

EncodedChars utf8Path(const icu::UnicodeString& path) {
  return convertToChars(reinterpret_cast<const unsigned short*>(path.getBuffer()), path.length(),
                        kCharSetUTF8);
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
