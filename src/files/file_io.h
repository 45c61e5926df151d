// What the commands that read or write files share: a holder for the files they open, the close
// of a file read or written (a written one with its error answered), the errno of a failed
// stream call, what is left of a file, and a path's UTF-8 bytes. Nothing here keeps state or
// yields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include <unicode/unistr.h>

#include "text/conversion.h"

// Closes a file that a command opened, on every way out.
struct FileCloser {
  void operator()(FILE* file) const { std::fclose(file); }
};
using unique_file = std::unique_ptr<FILE, FileCloser>;

// The UTF-8 bytes of a path, converted through the host.
EncodedChars utf8Path(const icu::UnicodeString& path);

// Closes a file that was only read. Closing the stream of a file that was only read cannot lose
// data, so its answer is not looked at.
inline void closeReadFile(unique_file& file) { file.reset(); }

// 0, or the errno of closing a written file: the close writes the stream's last buffer, so a full
// disk can show only there.
int closeWrittenFile(unique_file& file);

// 0 or the errno of a failed stream call (EIO when the call left errno at 0).
int streamErrno();

// The bytes of the file after its current position (0 when it cannot be measured).
int64_t bytesLeft(FILE* file);
