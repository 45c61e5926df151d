// The dispatcher: routes every selector the host sends to its life-cycle step or command
// handler. Selectors without a command return at once, reading no parameter and leaving the
// result area exactly as the host set it.

#include "4DPluginAPI.h"
#include "commands/zuv_commands.h"
#include "plugin/streams.h"

namespace {

constexpr int32_t kStartUp = -1;
constexpr int32_t kShutDown = -2;
constexpr int32_t kCleanUpThread = -4;

void dispatchCommand(int32_t selector, PluginBlock* block) {
  switch (selector) {
    case 2:  // ZUV_TCPOpen
      return handleTCPOpen(block);
    case 3:  // ZUV_TCPListen
      return handleTCPListen(block);
    case 4:  // ZUV_TCPClose
      return handleTCPClose(block);
    case 5:  // ZUV_TCPRelease
      return handleTCPRelease(block);
    case 6:  // ZUV_TCPStatus
      return handleTCPStatus(block);
    case 7:  // ZUV_TCPSend
      return handleTCPSend(block);
    case 8:  // ZUV_TCPReceive
      return handleTCPReceive(block);
    case 9:  // ZUV_TCPBytesAvailable
      return handleTCPBytesAvailable(block);
    case 10:  // ZUV_TCPStreamInfo
      return handleTCPStreamInfo(block);
    case 11:  // ZUV_TCPWaitStatus
      return handleTCPWaitStatus(block);
    case 12:  // ZUV_TCPSendFile
      return handleTCPSendFile(block);
    case 13:  // ZUV_TCPReceiveFile
      return handleTCPReceiveFile(block);
    case 14:  // ZUV_TCPLocalInfo
      return handleTCPLocalInfo(block);
    case 15:  // ZUV_TCPAddrToName
      return handleTCPAddrToName(block);
    case 16:  // ZUV_TCPNameToAddr
      return handleTCPNameToAddr(block);
    case 17:  // ZUV_File2MacBinary
      return handleFile2MacBinary(block);
    case 18:  // ZUV_MacBinary2File
      return handleMacBinary2File(block);
    case 19:  // ZUV_File2BinHex
      return handleFile2BinHex(block);
    case 20:  // ZUV_BinHex2File
      return handleBinHex2File(block);
    case 28:  // ZUV_Text2HTML
      return handleText2HTML(block);
    case 29:  // ZUV_HTML2Text
      return handleHTML2Text(block);
    case 30:  // ZUV_Text2URL
      return handleText2URL(block);
    case 31:  // ZUV_URL2Text
      return handleURL2Text(block);
    case 36:  // ZUV_QueueSize
      return handleQueueSize(block);
    case 37:  // ZUV_QueuePush
      return handleQueuePush(block);
    case 38:  // ZUV_QueuePop
      return handleQueuePop(block);
    case 39:  // ZUV_QueueErase
      return handleQueueErase(block);
    case 40:  // ZUV_TCPSendPicture
      return handleTCPSendPicture(block);
    case 41:  // ZUV_UDPCreate
      return handleUDPCreate(block);
    case 42:  // ZUV_UDPRelease
      return handleUDPRelease(block);
    case 43:  // ZUV_UDPSend
      return handleUDPSend(block);
    case 44:  // ZUV_UDPReceive
      return handleUDPReceive(block);
    case 45:  // ZUV_UDPMaxSize
      return handleUDPMaxSize(block);
    case 47:  // ZUV_PictureInfo
      return handlePictureInfo(block);
    case 48:  // ZUV_Seconds2RFC822Date
      return handleSeconds2RFC822Date(block);
    case 49:  // ZUV_DateTime2Seconds
      return handleDateTime2Seconds(block);
    case 50:  // ZUV_RFC822Date2Seconds
      return handleRFC822Date2Seconds(block);
    case 51:  // ZUV_Seconds2DateTime
      return handleSeconds2DateTime(block);
    case 52:  // ZUV_TCPStreamAt
      return handleTCPStreamAt(block);
    case 53:  // ZUV_Text2Base64
      return handleText2Base64(block);
    case 54:  // ZUV_Base642Text
      return handleBase642Text(block);
    case 55:  // ZUV_Text2QP
      return handleText2QP(block);
    case 56:  // ZUV_QP2Text
      return handleQP2Text(block);
    case 57:  // ZUV_TCPGlobalInfo
      return handleTCPGlobalInfo(block);
    case 58:  // ZUV_TCPMultiStatus
      return handleTCPMultiStatus(block);
    case 60:  // ZUV_Picture2File
      return handlePicture2File(block);
    case 61:  // ZUV_File2Picture
      return handleFile2Picture(block);
    case 62:  // ZUV_DigestInit
      return handleDigestInit(block);
    case 63:  // ZUV_DigestAddText
      return handleDigestAddText(block);
    case 64:  // ZUV_DigestFinal
      return handleDigestFinal(block);
    case 66:  // ZUV_Text2UU
      return handleText2UU(block);
    case 67:  // ZUV_UU2Text
      return handleUU2Text(block);
    case 72:  // ZUV_OpenDocument
      return handleOpenDocument(block);
    case 73:  // ZUV_TCPUnreceive
      return handleTCPUnreceive(block);
    case 74:  // ZUV_TCPSendBlob
      return handleTCPSendBlob(block);
    case 75:  // ZUV_TCPReceiveBlob
      return handleTCPReceiveBlob(block);
    case 76:  // ZUV_Picture2Blob
      return handlePicture2Blob(block);
    case 77:  // ZUV_Blob2Picture
      return handleBlob2Picture(block);
    case 80:  // ZUV_Rot13Text
      return handleRot13Text(block);
    case 81:  // ZUV_Rot13Blob
      return handleRot13Blob(block);
    case 82:  // ZUV_DigestAddBlob
      return handleDigestAddBlob(block);
    case 85:  // ZUV_TCPSetTimeout
      return handleTCPSetTimeout(block);
    case 88:  // ZUV_BlobSearch
      return handleBlobSearch(block);
    case 89:  // ZUV_BlobReplace
      return handleBlobReplace(block);
    case 90:  // ZUV_File2Gzip
      return handleFile2Gzip(block);
    case 91:  // ZUV_Gzip2File
      return handleGzip2File(block);
    case 92:  // ZUV_EncryptText
      return handleEncryptText(block);
    case 93:  // ZUV_DecryptText
      return handleDecryptText(block);
    case 94:  // ZUV_Record2Blob
      return handleRecord2Blob(block);
    case 95:  // ZUV_Blob2Record
      return handleBlob2Record(block);
    case 96:  // ZUV_SSLStreamInfo
      return handleSSLStreamInfo(block);
    case 97:  // ZUV_SSLSetCertificate
      return handleSSLSetCertificate(block);
    case 98:  // ZUV_SSLLastError
      return handleSSLLastError(block);
    case 99:  // ZUV_EncryptBlob
      return handleEncryptBlob(block);
    case 100:  // ZUV_DecryptBlob
      return handleDecryptBlob(block);
    case 103:  // ZUV_SSLSetCiphers
      return handleSSLSetCiphers(block);
    case 104:  // ZUV_SSLSetSNICertificate
      return handleSSLSetSNICertificate(block);
    case 105:  // ZUV_SSLSNIList
      return handleSSLSNIList(block);
    case 106:  // ZUV_UDPSendBlob
      return handleUDPSendBlob(block);
    case 107:  // ZUV_UDPReceiveBlob
      return handleUDPReceiveBlob(block);
    default:
      return;
  }
}

}  // namespace

void PluginMain(int32_t selector, PluginBlock* block) {
  switch (selector) {
    case kStartUp:
      return startUp();
    case kShutDown:
      return shutDown();
    case kCleanUpThread:
      return cleanUpThread();
    default:
      return dispatchCommand(selector, block);
  }
}
