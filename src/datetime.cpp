// RFC 822 dates are matched whole by one ICU regular expression; the calendar work is the C
// library's (timegm, mktime, gmtime_r, localtime_r).

#include "datetime.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <unicode/unistr.h>
#include <unicode/uregex.h>
#include <unicode/ustring.h>

#include "utils_codecs.h"

namespace datetime {
namespace {

// Groups: 1 day name (never read), 2 day, 3 month, 4 year, 5 hour, 6 minute, 7 second
// (optional), 8 zone name, 9 numeric zone.
const icu::UnicodeString kParsePattern(
    "(?:(Mon|Tue|Wed|Thu|Fri|Sat|Sun), )?(\\d{1,2}) "
    "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) (\\d{2}|\\d{4}) "
    "(\\d{2}):(\\d{2})(?::(\\d{2}))? (?:(UT|GMT|[ECMP][SD]T)|([+\\-]\\d{4}))",
    "utf-8");

enum Group { kDay = 2, kMonth, kYear, kHour, kMinute, kSecond, kZoneName, kZoneNumber };

struct URegularExpressionDeleter {
  void operator()(URegularExpression* expression) const { uregex_close(expression); }
};
std::unique_ptr<URegularExpression, URegularExpressionDeleter> sParser;

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", nullptr};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

struct TimeZone {
  const char* name;
  int32_t hours;
};
const TimeZone kTimeZones[] = {{"UT", 0},   {"GMT", 0},  {"EST", -5}, {"EDT", -4},
                               {"CST", -6}, {"CDT", -5}, {"MST", -7}, {"MDT", -6},
                               {"PST", -8}, {"PDT", -7}, {nullptr, 0}};

// The longest text a format makes, its terminating zero excluded.
constexpr size_t kMaxDateText = 31;

URegularExpression* parser() {
  if (sParser == nullptr) {
    UErrorCode status = U_ZERO_ERROR;
    sParser.reset(
        uregex_open(kParsePattern.getBuffer(), kParsePattern.length(), 0, nullptr, &status));
    if (U_FAILURE(status)) sParser.reset();  // compiled again on the next parse
  }
  return sParser.get();
}

// One group of the last match as ASCII; a group that took no part in the match is empty. Any
// ICU failure or warning throws its code.
std::string getGroup(URegularExpression* parser, int32_t group) {
  UChar units[20];
  UErrorCode status = U_ZERO_ERROR;
  int32_t length = uregex_group(parser, group, units, 20, &status);
  if (status != U_ZERO_ERROR) throw status;
  return std::string(units, units + length);
}

int32_t numberOf(const std::string& digits) { return std::strtol(digits.c_str(), nullptr, 10); }

// Seconds to add to the clock time of the text to reach UTC.
int32_t getSecondOffsetToUTC(URegularExpression* parser) {
  std::string name = getGroup(parser, kZoneName);
  if (!name.empty()) {
    for (const TimeZone* zone = kTimeZones; zone->name != nullptr; ++zone) {
      if (name == zone->name) return zone->hours * -3600;
    }
    return 0;
  }
  std::string number = getGroup(parser, kZoneNumber);  // a sign and hhmm
  int32_t m = numberOf(number.substr(1, 2)) * 3600 + numberOf(number.substr(3, 2)) * 60;
  return number[0] == '-' ? m : -m;
}

int32_t monthIndex(const std::string& name) {
  int32_t month = 0;
  while (month < 11 && name != kMonthNames[month]) ++month;
  return month;
}

int32_t parseMatch(URegularExpression* parser) {
  std::tm fields{};
  fields.tm_mday = numberOf(getGroup(parser, kDay));
  fields.tm_mon = monthIndex(getGroup(parser, kMonth));
  std::string yearDigits = getGroup(parser, kYear);
  int32_t year = numberOf(yearDigits);
  if (yearDigits.size() == 2) year += year < 30 ? 2000 : 1900;
  fields.tm_year = year - 1900;
  fields.tm_hour = numberOf(getGroup(parser, kHour));
  fields.tm_min = numberOf(getGroup(parser, kMinute));
  fields.tm_sec = numberOf(getGroup(parser, kSecond)) + getSecondOffsetToUTC(parser);
  time_t seconds = timegm(&fields);
  return seconds < 0 ? -1 : static_cast<int32_t>(seconds);
}

bool isASCII(std::u16string_view units) {
  for (char16_t unit : units) {
    if (unit >= 0x80) return false;
  }
  return true;
}

// The numeric zone of a local time: "+hhmm" east of UTC, "-hhmm" west; less than a minute
// west counts as +0000.
std::string numericZone(long eastSeconds) {
  long minutes = eastSeconds / 60;
  long a = minutes < 0 ? -minutes : minutes;
  char zone[48];
  std::snprintf(zone, sizeof zone, "%c%02ld%02ld", eastSeconds <= -60 ? '-' : '+', a / 60, a % 60);
  return zone;
}

// The calendar fields of seconds, in local time or UTC.
std::tm breakDown(int32_t seconds, bool local) {
  time_t moment = seconds;
  std::tm fields{};
  if (local) {
    localtime_r(&moment, &fields);
  } else {
    gmtime_r(&moment, &fields);
  }
  return fields;
}

}  // namespace

int32_t parseDate(const PA_Unistring& text) {
  std::u16string_view units = unitsOf(text);
  // The pattern's \d also takes digits of other scripts, which the decimal conversion cannot
  // read: such a text is no date rather than a wrong one.
  if (units.empty() || !isASCII(units)) return 0;
  URegularExpression* expression = parser();
  if (expression == nullptr) return 0;
  UErrorCode status = U_ZERO_ERROR;
  uregex_setText(expression, units.data(), static_cast<int32_t>(units.size()), &status);
  bool matched = U_SUCCESS(status) && uregex_matches(expression, 0, &status) && U_SUCCESS(status);
  int32_t seconds = 0;
  try {
    if (matched) seconds = parseMatch(expression);
  } catch (UErrorCode) {
    seconds = 0;
  }
  // The parser keeps no pointer into the host's units past this call.
  status = U_ZERO_ERROR;
  uregex_setText(expression, u"", 0, &status);
  return seconds;
}

void formatDateSeconds(int32_t seconds, bool local, bool useZoneName, PA_Unistring& out) {
  std::tm fields = breakDown(seconds, local);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%s, %d %s %04d %02d:%02d:%02d ", kDayNames[fields.tm_wday],
                fields.tm_mday, kMonthNames[fields.tm_mon], fields.tm_year + 1900, fields.tm_hour,
                fields.tm_min, fields.tm_sec);
  std::string date = buffer;
  if (!local) {
    date += "GMT";
  } else if (useZoneName && fields.tm_zone != nullptr && fields.tm_zone[0] != '\0') {
    date += std::string(fields.tm_zone).substr(0, 8);
  } else {
    date += numericZone(fields.tm_gmtoff);
  }
  date.resize(std::min(date.size(), kMaxDateText));
  setUnits(out, std::u16string(date.begin(), date.end()));
}

time_t dateTimeToSeconds(const PA_Date& date, int32_t timeOfDay, bool local) {
  std::tm fields{};
  fields.tm_year = date.fYear - 1900;
  fields.tm_mon = date.fMonth - 1;
  // The time of day goes into days, hours, minutes and seconds rather than into the seconds
  // alone: mktime decides daylight saving time by the fields as given, so 23:00 on the day the
  // clocks change, given as 82,800 seconds past midnight, would be read in midnight's offset and
  // come out an hour wrong.
  constexpr int32_t kDay = 86400;
  int32_t days = timeOfDay / kDay - (timeOfDay % kDay < 0 ? 1 : 0);
  int32_t rest = timeOfDay - days * kDay;
  fields.tm_mday = date.fDay + days;
  fields.tm_hour = rest / 3600;
  fields.tm_min = rest / 60 % 60;
  fields.tm_sec = rest % 60;
  fields.tm_isdst = -1;
  return local ? mktime(&fields) : timegm(&fields);
}

void secondsToDateTime(int32_t seconds, PA_Date& date, int32_t& timeOfDay, bool local) {
  std::tm fields = breakDown(seconds, local);
  date.fYear = static_cast<int16_t>(fields.tm_year + 1900);
  date.fMonth = static_cast<int16_t>(fields.tm_mon + 1);
  date.fDay = static_cast<int16_t>(fields.tm_mday);
  timeOfDay = fields.tm_hour * 3600 + fields.tm_min * 60 + fields.tm_sec;
}

}  // namespace datetime
