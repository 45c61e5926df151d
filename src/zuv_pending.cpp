// Handlers of commands that this build does not provide yet: they leave the result area
// and every parameter exactly as the host set them.

#include "zuv_commands.h"

void handleTCPSendFile(PluginBlock*) {}
void handleTCPReceiveFile(PluginBlock*) {}
void handleFile2MacBinary(PluginBlock*) {}
void handleMacBinary2File(PluginBlock*) {}
void handleFile2BinHex(PluginBlock*) {}
void handleBinHex2File(PluginBlock*) {}
void handleQueueSize(PluginBlock*) {}
void handleQueuePush(PluginBlock*) {}
void handleQueuePop(PluginBlock*) {}
void handleQueueErase(PluginBlock*) {}
void handleTCPSendPicture(PluginBlock*) {}
void handlePictureInfo(PluginBlock*) {}
void handleSeconds2RFC822Date(PluginBlock*) {}
void handleDateTime2Seconds(PluginBlock*) {}
void handleRFC822Date2Seconds(PluginBlock*) {}
void handleSeconds2DateTime(PluginBlock*) {}
void handlePicture2File(PluginBlock*) {}
void handleFile2Picture(PluginBlock*) {}
void handleDigestInit(PluginBlock*) {}
void handleDigestAddText(PluginBlock*) {}
void handleDigestFinal(PluginBlock*) {}
void handleOpenDocument(PluginBlock*) {}
void handleTCPSendBlob(PluginBlock*) {}
void handleTCPReceiveBlob(PluginBlock*) {}
void handlePicture2Blob(PluginBlock*) {}
void handleBlob2Picture(PluginBlock*) {}
void handleRot13Text(PluginBlock*) {}
void handleRot13Blob(PluginBlock*) {}
void handleDigestAddBlob(PluginBlock*) {}
void handleBlobSearch(PluginBlock*) {}
void handleBlobReplace(PluginBlock*) {}
void handleFile2Gzip(PluginBlock*) {}
void handleGzip2File(PluginBlock*) {}
void handleEncryptText(PluginBlock*) {}
void handleDecryptText(PluginBlock*) {}
void handleRecord2Blob(PluginBlock*) {}
void handleBlob2Record(PluginBlock*) {}
void handleEncryptBlob(PluginBlock*) {}
void handleDecryptBlob(PluginBlock*) {}
