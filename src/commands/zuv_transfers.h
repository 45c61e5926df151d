// The transfer loops, as the Transfers commands (zuv_transfers.cpp) call them once they have read
// their parameters and found their stream: the text conversation (zuv_transfers_text.cpp). Each
// takes typed values, holds its stream's busy counter across every yield, and answers the
// command's code.
#pragma once

#include <cstdint>

#include "4DPluginAPI.h"
#include "network/tcp.h"

// ---- Text conversations -------------------------------------------------------------------------

// The flags of ZUV_TCPReceive.
constexpr int32_t kReceiveAppends = 0x1;
constexpr int32_t kDelimiterStaysInStream = 0x2;
constexpr int32_t kSearchNewBytesOnly = 0x4;

struct ReceiveRequest {
  int32_t limit;  // 0 or less: none
  int32_t flags;
  int32_t timeout;  // ticks; below 0 none, 0 until a pass that brings nothing
  PA_4DCharSet charset;
};

// ZUV_TCPSend's work once the id has passed: the text's bytes in the send character set, passed
// through the filter's text bits first (on a copy), sent through the stream's send buffer with
// `mode`. A send that fails on a broken connection closes and releases the stream, unless another
// process holds it.
int32_t sendText(int32_t id, const PA_Unistring& text, int16_t mode, int filter);

// ZUV_TCPReceive's work once the id, the filter and the append limit have passed: -1 when the
// earlier text or the delimiter cannot be converted, kInexactText when the character set cannot
// hold the delimiter exactly (the text stays as it was in both cases); else the byte count.
int32_t receiveText(int32_t id, PA_Unistring& text, const PA_Unistring& delimiterText,
                    PA_4DCharSet charset, int filter, const ReceiveRequest& request);

// ZUV_TCPUnreceive's work once the id has passed: the text's bytes in the receive character set
// put back in front of or behind the stream's push-back bytes.
int32_t unreceiveText(tcp::TCPGlob* stream, const PA_Unistring& text, bool atFront, int filter);
