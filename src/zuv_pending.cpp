// Handlers of commands that this build does not provide yet: they leave the result area
// and every parameter exactly as the host set them.

#include "zuv_commands.h"

void handleBlobSearch(PluginBlock*) {}
void handleBlobReplace(PluginBlock*) {}
void handleRecord2Blob(PluginBlock*) {}
void handleBlob2Record(PluginBlock*) {}
