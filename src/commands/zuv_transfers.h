// The transfer loops, as the Transfers commands (zuv_transfers.cpp) call them once they have read
// their parameters and found their stream: the text conversation (zuv_transfers_text.cpp), the
// file transfers (zuv_transfers_files.cpp), and the BLOB and picture transfers
// (zuv_transfers_blobs.cpp). Each takes typed values, holds its stream's busy counter across
// every yield, and answers the command's code.
#pragma once

#include <cstdint>

#include <unicode/unistr.h>

#include "4DPluginAPI.h"
#include "commands/zuv_transfers_common.h"
#include "network/tcp.h"
#include "text/conversion.h"

// ---- Text conversations -------------------------------------------------------------------------

// The flags of ZUV_TCPReceive.
constexpr int32_t kReceiveAppends = 0x1;
constexpr int32_t kDelimiterStaysInStream = 0x2;
// ZUV_TCPReceive and ZUV_TCPReceiveBlob: the delimiter is searched only where new bytes may hold
// it.
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

// ---- Files --------------------------------------------------------------------------------------

// The flags of ZUV_TCPSendFile and ZUV_TCPReceiveFile.
constexpr int32_t kSendResourceFork = 0x1;
constexpr int32_t kFileAppends = 0x1;
// ZUV_TCPReceiveFile and ZUV_TCPReceiveBlob: the stream stays; without it the command releases
// the stream at its end, whatever the answer.
constexpr int32_t kKeepStream = 0x2;

// ZUV_TCPSendFile's parameters after the id and the path.
struct FileSendParameters {
  int filter;
  int32_t chunk;  // 0 or less: the default chunk
  int32_t first;
  int32_t last;
  int32_t flags;
};

// ZUV_TCPSendFile's work once the id and the path have passed: the range of the data or resource
// fork, chunk by chunk, with the codes of ZUV_TCPSendFile.
int32_t sendFile(int32_t id, const icu::UnicodeString& path, const FileSendParameters& parameters);

// ZUV_TCPReceiveFile's parameters after the id and the path.
struct FileReceiveParameters {
  int filter;
  int32_t flags;
  int32_t timeout;  // seconds; 0 or less: none
  int32_t count;    // 0 or less: none
};

// ZUV_TCPReceiveFile's work once the id and the path have passed: the stream's bytes written to
// the file, with the codes of ZUV_TCPReceiveFile. The caller releases the stream afterwards
// unless kKeepStream is set.
int32_t receiveIntoFile(int32_t id, const icu::UnicodeString& path,
                        const FileReceiveParameters& parameters);

// ---- BLOBs and pictures -------------------------------------------------------------------------

// The flags of ZUV_TCPReceiveBlob besides kSearchNewBytesOnly and kKeepStream.
constexpr int32_t kBlobAppends = 0x1;
constexpr int32_t kDelimiterLeftOut = 0x8;

// ZUV_TCPSendBlob's work once the id has passed: the range of the BLOB, chunk by chunk, with the
// codes of ZUV_TCPSendBlob.
int32_t sendBlob(int32_t id, HostHandle blob, int filter, int64_t first, int64_t last);

struct BlobReceiveRequest {
  int32_t limit;  // 0 or less: none
  int32_t flags;
  int32_t timeout;  // ticks; above 0 a deadline, 0 until a pass that brings nothing
};

// A BLOB receive's delimiter as its bytes in the target character set, Mac OS Roman (100) when
// there is none, as under filter 0: 0, -1 when the host could not convert a delimiter that has
// units, or kInexactText when the character set cannot hold it exactly (its '?' would match other
// bytes).
int32_t delimiterBytes(const PA_Unistring& text, const ChunkConversion& conversion,
                       EncodedChars& bytes);

// The passes of ZUV_TCPReceiveBlob once its stream, filter, delimiter and BLOB have passed: the
// stream's bytes, converted, added to the BLOB. The caller releases the stream afterwards unless
// kKeepStream is set.
void receiveIntoBlob(int32_t id, HostHandle blob, const BlobReceiveRequest& request,
                     TransferConversion& conversion, const EncodedChars& delimiter);

// ZUV_TCPSendPicture's work once the id and the picture have passed: the range of the picture's
// first GIF, JPEG or PNG data, with the codes of ZUV_TCPSendPicture.
int32_t sendPicture(int32_t id, HostPicture picture, int64_t first, int64_t last);
