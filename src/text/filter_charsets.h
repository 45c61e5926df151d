// The character-set bits of a transfer's filter, and their decoding for the text commands.
//
// A filter is a longint that ZUV_TCPSend, ZUV_TCPReceive, ZUV_TCPUnreceive and the file, BLOB
// and picture transfers take. Its character-set bits name the host character set of the bytes a
// command produces (sends, writes, stores) and of the bytes it takes in (receives, reads, puts
// back); the text bits 0x4 to 0x400 choose the text filters (text/filters.h). Everything here is
// constant and keeps no state.
#pragma once

#include <cstdint>

#include "4DPluginAPI.h"

// Which side of a transfer a character set is for.
enum EncodeDirection : int32_t {
  kEncodeSend = 0,     // the bytes produced: sent, written, stored
  kEncodeReceive = 1,  // the bytes taken in: received, read, or put back into a stream
};

constexpr int32_t kFilterOut1005 = 0x1;
constexpr int32_t kFilterIn1005 = 0x2;
constexpr int32_t kFilterOutUTF8 = 0x800;
constexpr int32_t kFilterInUTF8 = 0x1000;
constexpr int32_t kFilterOut100 = 0x2000;
constexpr int32_t kFilterIn100 = 0x4000;
// The text bits, what a file or BLOB transfer keeps of its filter once the pair is known.
constexpr int32_t kFilterTextBits = 0x7FC;

// One row of sConversionToEncodingMap: a character-set bit, the character set it names and the
// side it names it for.
struct ConversionToEncoding {
  int32_t mask;
  PA_4DCharSet charset;
  EncodeDirection direction;
};

// The six character-set bits in the order the decoder meets them, then an end row whose charset
// is 0.
extern const ConversionToEncoding sConversionToEncodingMap[7];

// The one character set that the filter names for `direction`, for the text commands: UTF-8 (7)
// for a filter of 0; else 0 when it names none, names one of the other direction, or names two.
// The bits of the rows it used are cleared in `filter` so that the rest can go to filterUnits;
// when it meets a bit of the other direction it stops there, that bit still set.
PA_4DCharSet getEncodingFromFilter(int& filter, EncodeDirection direction);
