// What the file conversions (BinHex, MacBinary, gzip) share: their common result codes, the
// check that the destination is not the source, the run that turns a thrown code into the
// answer, the source they read (a pipe's bytes awaited in turns) and the destination they write:
// a new file renamed into place only when the conversion succeeded. Nothing here keeps state;
// only a source that is no regular file yields, while it waits for its bytes.
#pragma once

#include <new>
#include <string>

#include <unicode/unistr.h>

#include "files/file_io.h"

// Result codes the conversions share.
constexpr int kConversionSameFile = -1;     // the destination is the source itself
constexpr int kConversionForkTooLong = 27;  // a fork of 2,147,483,647 bytes or more
constexpr int kConversionNoMemory = 12;
// A source that is no regular file (a pipe, a device) where the conversion needs one: EINVAL.
constexpr int kConversionSourceNotAFile = 22;

// True when the destination exists and is the source file itself (the same device and inode,
// through a link too). Opening it for writing would destroy the source before it is read.
bool sameFile(const icu::UnicodeString& source, const icu::UnicodeString& destination);

// Runs a conversion and answers its code: the codes its steps throw, 12 when memory runs out.
template <typename Conversion>
int answerOf(Conversion conversion) {
  try {
    return conversion();
  } catch (int code) {
    return code;
  } catch (const std::bad_alloc&) {
    return kConversionNoMemory;
  }
}

// The file a conversion reads. open() never waits, not even for the writer of a pipe. A regular
// file is read through a plain stream. A file of another kind (a pipe, a socket, a device) is
// read through a stream whose reads wait for its bytes, sleeping on it up to a tick between the
// host's turns, so that the other processes run while its writer is slow or not there yet; it
// ends where its writer closes it.
class ConversionSource {
 public:
  explicit ConversionSource(const icu::UnicodeString& path) : path_(path) {}
  ConversionSource(const ConversionSource&) = delete;
  ConversionSource& operator=(const ConversionSource&) = delete;

  // 0 or the errno of the open (EISDIR for a folder).
  int open();
  FILE* get() const { return file_.get(); }
  // Whether the source is a regular file, whose size says how much it holds.
  bool regular() const { return regular_; }
  // Whether the source is a device, which need never end (/dev/zero).
  bool device() const { return device_; }
  // Reads what the source has, up to n bytes, once it has at least one: the count, 0 at its end,
  // -1 with errno. For readers that take the bytes as they come; not to be mixed with get().
  long readSome(void* bytes, size_t n);
  void close() { file_.reset(); }

 private:
  icu::UnicodeString path_;
  int fd_ = -1;  // owned by file_
  bool regular_ = false;
  bool device_ = false;
  unique_file file_;
};

// The file a conversion writes. open() makes a new file beside the one it will replace (for a
// symbolic link, beside the file the link names: the link stays), with that file's permission
// bits and owner; finish() renames the new file into place with its Finder information and
// resource fork, so nothing of the old file survives into the new one but the sidecar entries that
// other tools own. Until finish() succeeded the destination, its sidecar, and whatever it points
// to, stay exactly as they were, a failure of the last rename included: the destructor removes
// the new file with its sidecar. A destination that is no regular
// file (a device, a pipe) is written as it stands and keeps no Finder information or fork; its
// open never waits, so a pipe that no process reads is refused at once (ENXIO).
class ConversionDestination {
 public:
  explicit ConversionDestination(const icu::UnicodeString& path) : path_(path) {}
  ~ConversionDestination();
  ConversionDestination(const ConversionDestination&) = delete;
  ConversionDestination& operator=(const ConversionDestination&) = delete;

  // 0 or the errno of the open (EISDIR for a folder, ENXIO for a pipe without reader).
  int open();
  FILE* get() const { return file_.get(); }
  // Whether the file written keeps Finder information and a resource fork: a regular file does.
  bool keepsForks() const { return !temporary_.empty(); }
  // Closes the file and puts it in place: 0, or the errno of the close or of the move (the file
  // then counts as failed).
  int finish();

 private:
  int openInPlace();

  icu::UnicodeString path_;
  std::string final_;      // the file replaced, its links followed
  std::string temporary_;  // the new file beside it; empty for a device written as it stands
  bool finished_ = false;
  unique_file file_;
};
