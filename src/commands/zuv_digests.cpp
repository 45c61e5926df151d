// The handlers of the digest commands: ZUV_DigestInit, ZUV_DigestAddText, ZUV_DigestAddBlob and
// ZUV_DigestFinal (digest.h).

#include "commands/zuv_commands.h"
#include "plugin/parameters.h"
#include "services/digest.h"

void handleDigestInit(PluginBlock* block) {
  PA_ReturnLong(block, digest::init(PA_GetLongParameter(block, 1)));
}

void handleDigestAddText(PluginBlock* block) {
  const int32_t id = PA_GetLongParameter(block, 1);
  digest::add(id, *PA_GetStringParameter(block, 2), PA_GetLongParameter(block, 3));
}

void handleDigestFinal(PluginBlock* block) {
  const int32_t id = PA_GetLongParameter(block, 1);
  const bool finish = PA_GetLongParameter(block, 2) == 1;
  digest::calc(id, finish, *resultText(block));
}

void handleDigestAddBlob(PluginBlock* block) {
  digest::addBlob(PA_GetLongParameter(block, 1), PA_GetBlobHandleParameter(block, 2));
}
