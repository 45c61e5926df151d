// The Transfers commands: each reads its parameters, answers a bad stream id at once, and hands
// typed values to its transfer loop (zuv_transfers.h), whose answer it returns; nothing the loop
// throws leaves the command.

#include "commands/zuv_transfers.h"

#include "4DPluginAPI.h"
#include "commands/zuv_commands.h"
#include "commands/zuv_transfers_common.h"
#include "network/tcp.h"
#include "plugin/streams.h"
#include "text/filter_charsets.h"
#include "text/units.h"

namespace {

constexpr int32_t kBadStream = -1;

int32_t receiveCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  PA_Unistring* text = PA_GetStringParameter(block, 2);
  int filter = PA_GetLongParameter(block, 4);
  PA_4DCharSet charset = getEncodingFromFilter(filter, kEncodeReceive);
  ReceiveRequest request{PA_GetLongParameter(block, 3), PA_GetLongParameter(block, 5),
                         PA_GetLongParameter(block, 7), charset};
  if (charset == 0) {
    setEmpty(*text);
    return kNoCharset;
  }
  if ((request.flags & kReceiveAppends) != 0 && text->fLength == kMaxTextUnits) return 0;
  return receiveText(id, *text, *PA_GetStringParameter(block, 6), charset, filter, request);
}

int32_t sendCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  const PA_Unistring* text = PA_GetStringParameter(block, 2);
  int16_t mode = PA_GetShortParameter(block, 3);
  int filter = PA_GetLongParameter(block, 4);
  return sendText(id, *text, mode, filter);
}

int32_t unreceiveCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  tcp::TCPGlob* stream = streams::lookUp(id);
  if (stream == nullptr) return kBadStream;
  const PA_Unistring* text = PA_GetStringParameter(block, 2);
  bool atFront = PA_GetLongParameter(block, 3) != 0;
  int filter = PA_GetLongParameter(block, 4);
  return unreceiveText(stream, *text, atFront, filter);
}

}  // namespace

// ZUV_TCPSend: 0 when the bytes went out, the count waiting in the send buffer when they were
// only buffered, -1 for a bad id, a failed send or a text the host could not convert, -7 for a
// filter without a send character set. A send that fails on a broken connection closes and
// releases the stream, unless another process holds it. The text parameter never changes.
void handleTCPSend(PluginBlock* block) { answerLong(block, sendCommand); }

// ZUV_TCPReceive: the byte count of the text left in the variable, in the receive character set
// (earlier text included when appending); -1 for a bad id (the variable untouched), a failed
// first pass of a replacing receive (the variable emptied), or an earlier text or delimiter that
// the host could not convert (the variable untouched); -7 for a filter without a receive character
// set (the variable emptied); -8 for a delimiter that the receive character set cannot hold
// exactly (the variable untouched, nothing received); 0 for an append to a text already
// 2,147,483,647 units long.
void handleTCPReceive(PluginBlock* block) { answerLong(block, receiveCommand); }

// ZUV_TCPUnreceive: the bytes the stream's push-back buffer holds afterwards; -1 for a bad id or a
// text that the host could not convert, which puts nothing back. A filter without a receive
// character set puts nothing back either.
void handleTCPUnreceive(PluginBlock* block) { answerLong(block, unreceiveCommand); }
