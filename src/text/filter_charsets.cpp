// The decoding of a text command's character-set bits.

#include "text/filter_charsets.h"

const ConversionToEncoding sConversionToEncodingMap[7] = {
    {kFilterOut1005, kCharSet1005, kEncodeSend},
    {kFilterIn1005, kCharSet1005, kEncodeReceive},
    {kFilterOutUTF8, kCharSetUTF8, kEncodeSend},
    {kFilterInUTF8, kCharSetUTF8, kEncodeReceive},
    {kFilterOut100, kCharSet100, kEncodeSend},
    {kFilterIn100, kCharSet100, kEncodeReceive},
    {0, 0, kEncodeSend},
};

PA_4DCharSet getEncodingFromFilter(int& filter, EncodeDirection direction) {
  if (filter == 0) return kCharSetUTF8;
  PA_4DCharSet found = 0;
  for (const ConversionToEncoding* row = sConversionToEncodingMap; row->charset != 0; ++row) {
    if ((filter & row->mask) == 0) continue;
    if (row->direction != direction) return 0;
    filter &= ~row->mask;
    if (found != 0) return 0;
    found = row->charset;
  }
  return found;
}
