// The command handlers, one per ZUV_ command. Each reads its own parameters from the block
// and writes its result and output parameters; none lets an exception out.
#pragma once

#include "4DPluginAPI.h"

void handleTCPOpen(PluginBlock* block);
void handleTCPListen(PluginBlock* block);
void handleTCPClose(PluginBlock* block);
void handleTCPRelease(PluginBlock* block);
void handleTCPStatus(PluginBlock* block);
void handleTCPSend(PluginBlock* block);
void handleTCPReceive(PluginBlock* block);
void handleTCPBytesAvailable(PluginBlock* block);
void handleTCPStreamInfo(PluginBlock* block);
void handleTCPWaitStatus(PluginBlock* block);
void handleTCPSendFile(PluginBlock* block);
void handleTCPReceiveFile(PluginBlock* block);
void handleTCPLocalInfo(PluginBlock* block);
void handleTCPAddrToName(PluginBlock* block);
void handleTCPNameToAddr(PluginBlock* block);
void handleFile2MacBinary(PluginBlock* block);
void handleMacBinary2File(PluginBlock* block);
void handleFile2BinHex(PluginBlock* block);
void handleBinHex2File(PluginBlock* block);
void handleText2HTML(PluginBlock* block);
void handleHTML2Text(PluginBlock* block);
void handleText2URL(PluginBlock* block);
void handleURL2Text(PluginBlock* block);
void handleQueueSize(PluginBlock* block);
void handleQueuePush(PluginBlock* block);
void handleQueuePop(PluginBlock* block);
void handleQueueErase(PluginBlock* block);
void handleTCPSendPicture(PluginBlock* block);
void handleUDPCreate(PluginBlock* block);
void handleUDPRelease(PluginBlock* block);
void handleUDPSend(PluginBlock* block);
void handleUDPReceive(PluginBlock* block);
void handleUDPMaxSize(PluginBlock* block);
void handlePictureInfo(PluginBlock* block);
void handleSeconds2RFC822Date(PluginBlock* block);
void handleDateTime2Seconds(PluginBlock* block);
void handleRFC822Date2Seconds(PluginBlock* block);
void handleSeconds2DateTime(PluginBlock* block);
void handleTCPStreamAt(PluginBlock* block);
void handleText2Base64(PluginBlock* block);
void handleBase642Text(PluginBlock* block);
void handleText2QP(PluginBlock* block);
void handleQP2Text(PluginBlock* block);
void handleTCPGlobalInfo(PluginBlock* block);
void handleTCPMultiStatus(PluginBlock* block);
void handlePicture2File(PluginBlock* block);
void handleFile2Picture(PluginBlock* block);
void handleDigestInit(PluginBlock* block);
void handleDigestAddText(PluginBlock* block);
void handleDigestFinal(PluginBlock* block);
void handleText2UU(PluginBlock* block);
void handleUU2Text(PluginBlock* block);
void handleOpenDocument(PluginBlock* block);
void handleTCPUnreceive(PluginBlock* block);
void handleTCPSendBlob(PluginBlock* block);
void handleTCPReceiveBlob(PluginBlock* block);
void handlePicture2Blob(PluginBlock* block);
void handleBlob2Picture(PluginBlock* block);
void handleRot13Text(PluginBlock* block);
void handleRot13Blob(PluginBlock* block);
void handleDigestAddBlob(PluginBlock* block);
void handleTCPSetTimeout(PluginBlock* block);
void handleBlobSearch(PluginBlock* block);
void handleBlobReplace(PluginBlock* block);
void handleFile2Gzip(PluginBlock* block);
void handleGzip2File(PluginBlock* block);
void handleEncryptText(PluginBlock* block);
void handleDecryptText(PluginBlock* block);
void handleRecord2Blob(PluginBlock* block);
void handleBlob2Record(PluginBlock* block);
void handleSSLStreamInfo(PluginBlock* block);
void handleSSLSetCertificate(PluginBlock* block);
void handleSSLLastError(PluginBlock* block);
void handleEncryptBlob(PluginBlock* block);
void handleDecryptBlob(PluginBlock* block);
void handleSSLSetCiphers(PluginBlock* block);
void handleSSLSetSNICertificate(PluginBlock* block);
void handleSSLSNIList(PluginBlock* block);
void handleUDPSendBlob(PluginBlock* block);
void handleUDPReceiveBlob(PluginBlock* block);

// Runs a command's body and returns its longint answer; nothing the body throws leaves the
// command, whose answer is then -1.
template <typename Body>
void answerLong(PluginBlock* block, Body body) {
  int32_t result;
  try {
    result = body(block);
  } catch (...) {
    result = -1;
  }
  PA_ReturnLong(block, result);
}
