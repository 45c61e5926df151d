// The handlers of the digest commands: ZUV_DigestInit, ZUV_DigestAddText, ZUV_DigestAddBlob and
// ZUV_DigestFinal (digest.h).

#include "commands/zuv_commands.h"
#include "services/digest.h"

void handleDigestInit(PluginBlock* block) { digest::init(block); }
void handleDigestAddText(PluginBlock* block) { digest::add(block); }
void handleDigestFinal(PluginBlock* block) { digest::calc(block); }
void handleDigestAddBlob(PluginBlock* block) { digest::addBlob(block); }
