// MacBinary files: ZUV_File2MacBinary packs a file's data fork, resource fork and Finder
// information into one file (a 128-byte header, then the forks, each padded to 128 bytes);
// ZUV_MacBinary2File restores it. The header written is MacBinary II's with the Finder flags' low
// byte at 74, their high byte at 101 and its CRC low byte first, as earlier versions wrote it; the
// decoder reads that layout, standard MacBinary II and MacBinary I. Both run in the calling 4D
// process, yield every 64 KB of the data fork and keep no state past the call.
#pragma once

#include <unicode/unistr.h>

namespace macbinary {

constexpr int kHeaderRefused = 3;
constexpr int kEndedEarly = -7;

// Writes the MacBinary form of the file at source to a new file at destination. Answers 0, an
// errno (2 for a missing source), 27 for a fork of 2 GB or more, -7 for a fork that ended before
// its measured length, or 12. A failure leaves the destination as it was.
int encode(const icu::UnicodeString& source, const icu::UnicodeString& destination);

// Writes the file the MacBinary file at source carries to a new file at destination. Answers 0,
// an errno, 3 for a header it refuses, 27 for a fork length of 2 GB or more, -7 for a file that
// ends before its forks do, or 12. A failure leaves the destination as it was.
int decode(const icu::UnicodeString& source, const icu::UnicodeString& destination);

}  // namespace macbinary
