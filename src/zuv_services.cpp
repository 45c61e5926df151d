// The handlers of the data-service commands: digests, text queues, Internet dates, ciphers and
// ROT13. Each passes the block on to its service, which reads its own parameters.

#include "digest.h"
#include "zuv_commands.h"

void handleDigestInit(PluginBlock* block) { digest::init(block); }
void handleDigestAddText(PluginBlock* block) { digest::add(block); }
void handleDigestFinal(PluginBlock* block) { digest::calc(block); }
void handleDigestAddBlob(PluginBlock* block) { digest::addBlob(block); }
