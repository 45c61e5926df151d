// The handlers of the Internet date commands: ZUV_Seconds2RFC822Date, ZUV_RFC822Date2Seconds,
// ZUV_DateTime2Seconds and ZUV_Seconds2DateTime (datetime.h).

#include <climits>

#include "commands/zuv_commands.h"
#include "plugin/parameters.h"
#include "services/datetime.h"

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
