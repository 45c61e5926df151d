// gzip files: ZUV_File2Gzip compresses a file's data fork into a gzip file, ZUV_Gzip2File expands
// one (every member of a multi-member file). zlib writes and reads the format; the program adds
// nothing to it. Both run in the calling 4D process, yield after every 256 KB block and keep no
// state past the call.
#pragma once

#include <unicode/unistr.h>

namespace gzip {

// Answered for a source that does not start with a gzip header (gzip -d refuses it too).
constexpr int kNotGzip = -14;

// Compresses the file at source into a new gzip file at destination, at level 1 to 9 (any other
// level compresses at 6). Answers 0, an errno (2 for a missing source), 12 when the block cannot
// be allocated, or zlib's error number. A failure leaves the destination as it was.
int encode(const icu::UnicodeString& source, const icu::UnicodeString& destination, int level);

// Expands the gzip file at source into a new file at destination: every member, and nothing after
// the last (zero padding, other bytes), so a source that never ends is read only as far as its
// gzip stream goes. Answers 0, -14 for a source that is not gzip, an errno, 12, or zlib's error
// number: -3 for a damaged stream, -5 for one that ends early (a single byte other than zero after
// a member is the start of one cut short, as gzip -d reads it). A failure leaves the destination
// as it was.
int decode(const icu::UnicodeString& source, const icu::UnicodeString& destination);

}  // namespace gzip
