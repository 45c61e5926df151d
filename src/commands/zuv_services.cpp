// The handlers of the data-service commands: digests, text queues, Internet dates, ciphers and
// ROT13. Each passes the block on to its service, which reads its own parameters.

#include <climits>

#include "codecs/codecs.h"
#include "commands/zuv_commands.h"
#include "services/crypto.h"
#include "services/datetime.h"
#include "services/digest.h"
#include "services/queues.h"

void handleDigestInit(PluginBlock* block) { digest::init(block); }
void handleDigestAddText(PluginBlock* block) { digest::add(block); }
void handleDigestFinal(PluginBlock* block) { digest::calc(block); }
void handleDigestAddBlob(PluginBlock* block) { digest::addBlob(block); }

void handleQueueSize(PluginBlock* block) {
  PA_ReturnLong(block, queues::queueSize(PA_GetLongParameter(block, 1)));
}

void handleQueuePush(PluginBlock* block) {
  int32_t key = PA_GetLongParameter(block, 1);
  queues::enqueue(key, *PA_GetStringParameter(block, 2));
}

void handleQueuePop(PluginBlock* block) {
  int32_t key = PA_GetLongParameter(block, 1);
  bool peek = PA_GetLongParameter(block, 2) != 0;
  queues::dequeue(block, key, peek);
}

void handleQueueErase(PluginBlock* block) { queues::eraseQueue(PA_GetLongParameter(block, 1)); }

void handleSeconds2RFC822Date(PluginBlock* block) {
  int32_t seconds = PA_GetLongParameter(block, 1);
  bool local = PA_GetLongParameter(block, 2) == 0;
  bool useZoneName = PA_GetLongParameter(block, 3) != 0;
  datetime::formatDateSeconds(seconds, local, useZoneName, *resultText(block));
}

void handleDateTime2Seconds(PluginBlock* block) {
  PA_Date date{};
  PA_GetDateParameter(block, 1, &date.fDay, &date.fMonth, &date.fYear);
  int32_t timeOfDay = PA_GetTimeParameter(block, 2);
  bool local = PA_GetLongParameter(block, 3) != 0;
  // A moment a longint cannot hold answers the failure value, not a moment 136 years away.
  time_t seconds = datetime::dateTimeToSeconds(date, timeOfDay, local);
  bool representable = seconds >= INT32_MIN && seconds <= INT32_MAX;
  PA_ReturnLong(block, representable ? static_cast<int32_t>(seconds) : -1);
}

void handleRFC822Date2Seconds(PluginBlock* block) {
  PA_ReturnLong(block, datetime::parseDate(*PA_GetStringParameter(block, 1)));
}

void handleSeconds2DateTime(PluginBlock* block) {
  int32_t seconds = PA_GetLongParameter(block, 1);
  bool local = PA_GetLongParameter(block, 4) == 0;
  PA_Date date{};
  int32_t timeOfDay = 0;
  datetime::secondsToDateTime(seconds, date, timeOfDay, local);
  PA_SetDateParameter(block, 2, date.fDay, date.fMonth, date.fYear);
  PA_SetTimeParameter(block, 3, timeOfDay);
}

void handleRot13Text(PluginBlock* block) { crypto::rotate13Text(block); }
void handleRot13Blob(PluginBlock* block) { crypto::rotate13Blob(block); }
void handleEncryptText(PluginBlock* block) { crypto::encryptText(block); }
void handleDecryptText(PluginBlock* block) { crypto::decryptText(block); }
void handleEncryptBlob(PluginBlock* block) { crypto::encryptBlob(block); }
void handleDecryptBlob(PluginBlock* block) { crypto::decryptBlob(block); }
