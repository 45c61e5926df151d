// Internet dates: RFC 822 date texts, longint counts of seconds since 1970-01-01 00:00:00 UTC,
// and 4D's date and time of day, in local time or UTC. Serves ZUV_Seconds2RFC822Date,
// ZUV_DateTime2Seconds, ZUV_RFC822Date2Seconds and ZUV_Seconds2DateTime.
//
// Seconds are signed 32-bit, so moments from 1901-12-13 20:45:52 to 2038-01-19 03:14:07 UTC;
// a moment outside them answers the command's failure value rather than wrapping. Local time is
// the process's time zone (TZ). No state.
#pragma once

#include <cstdint>
#include <ctime>

#include "4DPluginAPI.h"

namespace datetime {

// The seconds of the moment the text names; 0 when it is no date as RFC 5322 writes one, with
// its obsolete forms (the epoch itself also answers 0) or the moment lies after 2038-01-19
// 03:14:07 UTC; -1 for a moment before 1970.
int32_t parseDate(const PA_Unistring& text);
// Sets out to the date text of seconds, in UTC ("... GMT") or in local time (with the zone's
// abbreviation when useZoneName, else "+hhmm").
void formatDateSeconds(int32_t seconds, bool local, bool useZoneName, PA_Unistring& out);
// The seconds of a date and a time of day read as local time or UTC, in 64 bits; -1 where
// mktime fails.
time_t dateTimeToSeconds(const PA_Date& date, int32_t timeOfDay, bool local);
void secondsToDateTime(int32_t seconds, PA_Date& date, int32_t& timeOfDay, bool local);

}  // namespace datetime
