// Handlers of commands that this build does not provide yet: they leave the result area
// and every parameter exactly as the host set them.

#include "zuv_commands.h"

void handleTCPListen(PluginBlock*) {}
void handleUDPCreate(PluginBlock*) {}
void handleUDPRelease(PluginBlock*) {}
void handleUDPSend(PluginBlock*) {}
void handleUDPReceive(PluginBlock*) {}
void handleUDPMaxSize(PluginBlock*) {}
void handleTCPMultiStatus(PluginBlock*) {}
void handleBlobSearch(PluginBlock*) {}
void handleBlobReplace(PluginBlock*) {}
void handleRecord2Blob(PluginBlock*) {}
void handleBlob2Record(PluginBlock*) {}
void handleSSLStreamInfo(PluginBlock*) {}
void handleSSLSetCertificate(PluginBlock*) {}
void handleSSLLastError(PluginBlock*) {}
void handleSSLSetCiphers(PluginBlock*) {}
void handleSSLSetSNICertificate(PluginBlock*) {}
void handleSSLSNIList(PluginBlock*) {}
void handleUDPSendBlob(PluginBlock*) {}
void handleUDPReceiveBlob(PluginBlock*) {}
