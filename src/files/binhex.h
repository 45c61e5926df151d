// BinHex 4.0 files: ZUV_File2BinHex writes a file's data fork, resource fork and Finder
// information (type, creator, flags) as BinHex 4.0 text; ZUV_BinHex2File restores such a file.
// Written with CR line ends, 64 characters a line and no run-length compression; read with any
// line ends, runs and text around the data, whatever words follow "(This file must be converted"
// on the header line. Both run in the calling 4D process, yield every 4096 bytes and keep no state
// past the call.
#pragma once

#include <unicode/unistr.h>

namespace binhex {

// The codes the two directions answer besides 0 and an errno.
constexpr int kMissingSource = 2;
constexpr int kEndedEarly = -7;  // the input (or a fork that shrank while read) ended early
constexpr int kNotBinHex = -13;  // no BinHex header, a character outside the alphabet, a bad CRC

// Writes the BinHex form of the file at source to a new file at destination. Answers 0, 2 for a
// source that cannot be examined, 27 for a fork of 2 GB or more, -7 for a fork that ended before
// its measured length, 12, or an errno. A failure leaves the destination as it was.
int encode(const icu::UnicodeString& source, const icu::UnicodeString& destination);

// Writes the file that the BinHex text at source carries to a new file at destination, with its
// resource fork and Finder information. Answers 0, 2, 27 (a source or a fork of 2 GB or more),
// -7 (the text ends before the closing colon), -13, 12, or an errno. A failure leaves the
// destination as it was.
int decode(const icu::UnicodeString& source, const icu::UnicodeString& destination);

}  // namespace binhex
