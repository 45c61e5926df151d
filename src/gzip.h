// gzip files: ZUV_File2Gzip compresses a file's data fork into a gzip file, ZUV_Gzip2File expands
// one (every member of a multi-member file). zlib writes and reads the format; the program adds
// nothing to it. Both run in the calling 4D process, yield after every 256 KB block and keep no
// state past the call.
#pragma once

#include <unicode/unistr.h>

namespace gzip {

// Compresses the file at source into a new gzip file at destination, at level 1 to 9 (any other
// level compresses at 6). Answers 0, an errno (2 for a missing source), 12 when the block cannot
// be allocated, or zlib's error number. A destination written part-way stays.
int encode(const icu::UnicodeString& source, const icu::UnicodeString& destination, int level);

// Expands the gzip file at source into a new file at destination; input that is not gzip is
// copied as it stands. Answers 0, an errno, 12, or zlib's error number: -3 for a damaged stream,
// -5 for one that ends early. A destination written part-way stays.
int decode(const icu::UnicodeString& source, const icu::UnicodeString& destination);

}  // namespace gzip
