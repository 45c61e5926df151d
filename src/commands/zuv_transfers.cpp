// The Transfers commands: each reads its parameters, answers a bad stream id at once, and hands
// typed values to its transfer loop (zuv_transfers.h), whose answer it returns; nothing the loop
// throws leaves the command.

#include "commands/zuv_transfers.h"

#include <unicode/unistr.h>

#include "4DPluginAPI.h"
#include "commands/zuv_commands.h"
#include "commands/zuv_transfers_common.h"
#include "network/tcp.h"
#include "plugin/parameters.h"
#include "plugin/streams.h"
#include "text/filter_charsets.h"
#include "text/units.h"

namespace {

constexpr int32_t kBadStream = -1;
constexpr int32_t kFailed = -1;

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
  if ((request.flags & kReceiveAppends) != 0 && text->fLength == kMaxLength) return 0;
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

int32_t sendFileCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  icu::UnicodeString path;
  if (platformPathParameter(block, 2, path) != PathParameter::kRead) return kFailed;
  FileSendParameters parameters{PA_GetLongParameter(block, 3), PA_GetLongParameter(block, 4),
                                PA_GetLongParameter(block, 5), PA_GetLongParameter(block, 6),
                                PA_GetLongParameter(block, 7)};
  return sendFile(id, path, parameters);
}

// Reads the path and the rest of a file receive's parameters and runs the receive: -1 for a bad
// path.
int32_t receiveIntoNamedFile(PluginBlock* block, int32_t id, int32_t flags) {
  icu::UnicodeString path;
  if (platformPathParameter(block, 2, path) != PathParameter::kRead) return kFailed;
  FileReceiveParameters parameters{PA_GetLongParameter(block, 3), flags,
                                   PA_GetLongParameter(block, 5), PA_GetLongParameter(block, 6)};
  return receiveIntoFile(id, path, parameters);
}

int32_t receiveFileCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  int32_t flags = PA_GetLongParameter(block, 4);
  int32_t result;
  try {
    result = receiveIntoNamedFile(block, id, flags);
  } catch (...) {
    result = kFailed;
  }
  if ((flags & kKeepStream) == 0) doTCPRelease(id, 0);
  return result;
}

int32_t sendBlobCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  HostHandle blob = PA_GetBlobHandleParameter(block, 2);
  return sendBlob(id, blob, PA_GetLongParameter(block, 4), PA_GetLongParameter(block, 5),
                  PA_GetLongParameter(block, 6));
}

int32_t receiveBlobCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  if (streams::lookUp(id) == nullptr) return kBadStream;
  BlobReceiveRequest request{PA_GetLongParameter(block, 3), PA_GetLongParameter(block, 5),
                             PA_GetLongParameter(block, 7)};
  TransferConversion conversion(PA_GetLongParameter(block, 4));
  if (conversion.conversion().producesNothing()) return kNoCharset;
  EncodedChars delimiter;
  const PA_Unistring* delimiterText = PA_GetStringParameter(block, 6);
  if (int32_t code = delimiterBytes(*delimiterText, conversion.conversion(), delimiter)) {
    return code;
  }
  if (PA_GetBlobHandleParameter(block, 2) == nullptr) {
    HostHandle made = PA_NewHandle(0);
    if (made == nullptr) return kFailed;
    PA_SetBlobHandleParameter(block, 2, made);
  }
  HostHandle blob = PA_GetBlobHandleParameter(block, 2);
  if (blob == nullptr) return kFailed;
  bool appends = (request.flags & kBlobAppends) != 0;
  if (!appends) PA_SetHandleSize(blob, 0);
  int64_t start = PA_GetHandleSize(blob);
  if (appends && start == kMaxLength) return 0;
  bool ended = true;
  try {
    receiveIntoBlob(id, blob, request, conversion, delimiter);
  } catch (...) {
    // The stream is released all the same, as a receive that ends any other way releases it.
    ended = false;
  }
  if ((request.flags & kKeepStream) == 0) doTCPRelease(id, 0);
  return ended ? static_cast<int32_t>(PA_GetHandleSize(blob) - start) : kFailed;
}

int32_t sendPictureCommand(PluginBlock* block) {
  int32_t id = PA_GetLongParameter(block, 1);
  HostPicture picture = PA_GetPictureParameter(block, 2);
  int64_t first = PA_GetLongParameter(block, 3);
  int64_t last = PA_GetLongParameter(block, 4);
  if (streams::lookUp(id) == nullptr || picture == nullptr) return kBadStream;
  return sendPicture(id, picture, first, last);
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

// ZUV_TCPSendFile: 0 when the range went out (or the fork is empty); -1 for a bad id, an empty
// or unconvertible path, a negative last byte, a failed seek or send; 2 for a missing file; 27
// for a fork over 2,147,483,647 bytes; -2 when the file does not open; -7 for a filter with text
// bits and no character set, or a fork that ends before the range; the errno of a failed read;
// the stream's status when, after a chunk, it is outside 8..13 (0 answers -1).
void handleTCPSendFile(PluginBlock* block) { answerLong(block, sendFileCommand); }

// ZUV_TCPReceiveFile: 0 when the byte count came or the deadline passed; -1 for a bad id, a bad
// path, or a stream that left status 8 (the peer's close ends a transfer so); -7 for a filter
// with text bits and no character set; the errno of a failed open, write or close. Without bit
// 0x2 the stream is released at the end, whatever the answer.
void handleTCPReceiveFile(PluginBlock* block) { answerLong(block, receiveFileCommand); }

// ZUV_TCPSendBlob: 0 when the range went out and the stream then shows 8 or 14, or for an empty
// BLOB; -2 for any other status then; -1 for a bad id, a negative last byte or a failed send;
// -7 for a filter with text bits and no character set.
void handleTCPSendBlob(PluginBlock* block) { answerLong(block, sendBlobCommand); }

// ZUV_TCPReceiveBlob: the BLOB's size at the end minus its start size; -1 for a bad id or a
// delimiter the host cannot convert; -7 for a filter with text bits and no character set; -8 for
// a delimiter that the target character set (Mac OS Roman under filter 0) cannot hold exactly;
// 0 for an append to a BLOB of 2,147,483,647 bytes. The early answers (-1 for the delimiter, -7,
// -8) receive nothing and keep the stream and the BLOB as they were.
void handleTCPReceiveBlob(PluginBlock* block) { answerLong(block, receiveBlobCommand); }

// ZUV_TCPSendPicture: 0 when the range went out or holds fewer than two bytes; -1 for a bad id,
// no picture, a last byte above 0 not above the first, a picture without GIF, JPEG or PNG data,
// or a failed send.
void handleTCPSendPicture(PluginBlock* block) { answerLong(block, sendPictureCommand); }
