// Date texts are read by hand, part by part, as RFC 5322 writes them (comments nest, which no
// regular expression follows); the calendar work is the C library's (timegm, mktime, gmtime_r,
// localtime_r).

#include "services/datetime.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include <strings.h>

#include "text/units.h"

namespace datetime {
namespace {

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat", nullptr};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// The longest text a format makes, its terminating zero excluded.
constexpr size_t kMaxDateText = 31;

// Zones by name, in whole hours east of UTC. UTC joins RFC 5322's list, as every mail reader
// takes it; a name not in the table is no zone.
struct TimeZone {
  const char* name;
  int32_t hours;
};
const TimeZone kTimeZones[] = {{"UT", 0},   {"UTC", 0},  {"GMT", 0},  {"EST", -5},
                               {"EDT", -4}, {"CST", -6}, {"CDT", -5}, {"MST", -7},
                               {"MDT", -6}, {"PST", -8}, {"PDT", -7}, {nullptr, 0}};

// The longest word a date holds; a longer one is no name.
constexpr size_t kMaxWord = 8;
// Years past this one lie beyond every moment a longint holds, whatever the other fields say.
constexpr int64_t kLastYearToCompute = 9999;

bool isWhiteSpace(char16_t unit) { return unit == u' ' || unit == u'\t'; }
bool isDigit(char16_t unit) { return unit >= u'0' && unit <= u'9'; }
bool isLetter(char16_t unit) { return (unit | 0x20) >= u'a' && (unit | 0x20) <= u'z'; }

// Reads a date text part by part, as RFC 5322 writes its date-time with the obsolete syntax of
// its section 4: white space, folded lines (CR LF followed by white space) and comments, nested
// or not, may stand between any two parts.
class DateReader {
 public:
  explicit DateReader(std::u16string_view text) : text_(text) {}

  bool atEnd() const { return at_ == text_.size(); }
  bool follows(char16_t unit) const { return !atEnd() && text_[at_] == unit; }
  bool followsDigit() const { return !atEnd() && isDigit(text_[at_]); }
  bool afterWhiteSpace() const { return at_ > 0 && isWhiteSpace(text_[at_ - 1]); }

  bool take(char16_t unit) {
    if (!follows(unit)) return false;
    ++at_;
    return true;
  }

  // Skips white space, folded lines and comments; false for a line break that does not fold or
  // a comment that does not end.
  bool skipSpace() {
    while (!atEnd()) {
      if (isWhiteSpace(text_[at_])) {
        ++at_;
      } else if (text_[at_] == u'\r') {
        if (!skipFold()) return false;
      } else if (text_[at_] == u'(') {
        if (!skipComment()) return false;
      } else {
        break;
      }
    }
    return true;
  }

  // A run of ASCII digits: its length, and its value in *value (kept below 10^10).
  size_t digits(int64_t* value) {
    size_t from = at_;
    *value = 0;
    for (; !atEnd() && isDigit(text_[at_]); ++at_) {
      if (*value < 1000000000) *value = *value * 10 + (text_[at_] - u'0');
    }
    return at_ - from;
  }

  // A run of ASCII letters; empty when it is longer than any name.
  std::string word() {
    std::string out;
    for (; !atEnd() && isLetter(text_[at_]); ++at_) out.push_back(static_cast<char>(text_[at_]));
    return out.size() <= kMaxWord ? out : std::string();
  }

 private:
  // CR LF and at least one space or tab.
  bool skipFold() {
    if (at_ + 2 >= text_.size() || text_[at_ + 1] != u'\n' || !isWhiteSpace(text_[at_ + 2])) {
      return false;
    }
    at_ += 3;
    return true;
  }

  // A comment, nested ones included; a backslash takes the unit after it as it is. Any other
  // unit but U+0000 and a line break that does not fold is the comment's text, characters
  // beyond ASCII too.
  bool skipComment() {
    size_t depth = 0;
    while (!atEnd()) {
      char16_t unit = text_[at_];
      if (unit == u'\r') {
        if (!skipFold()) return false;
        continue;
      }
      if (unit == 0 || unit == u'\n') return false;
      ++at_;
      if (unit == u'(') {
        ++depth;
      } else if (unit == u')') {
        if (--depth == 0) return true;
      } else if (unit == u'\\') {
        if (atEnd()) return false;
        ++at_;
      }
    }
    return false;
  }

  std::u16string_view text_;
  size_t at_ = 0;
};

// The fields of a date text as written; the calendar carries values out of their range.
struct DateFields {
  int64_t year = 0;
  int32_t month = 0;  // 0..11
  int64_t day = 0, hour = 0, minute = 0, second = 0;
  int32_t offsetToUTC = 0;  // seconds to add to the clock time
};

// The place of a name in a table, in any case as RFC 5322 takes names; -1 when it is none.
template <size_t N>
int32_t indexOf(const char* const (&names)[N], const std::string& name) {
  for (size_t i = 0; i < N && names[i] != nullptr; ++i) {
    if (strcasecmp(name.c_str(), names[i]) == 0) return static_cast<int32_t>(i);
  }
  return -1;
}

// Two digits, and no digit after them.
bool readTwoDigits(DateReader& reader, int64_t* value) { return reader.digits(value) == 2; }

// Two-digit years as RFC 5322 reads them: 00 to 49 are 2000 to 2049, 50 to 99 are 1950 to
// 1999; three-digit years are counted from 1900.
int64_t fullYear(int64_t year, size_t digits) {
  if (digits == 2) return year + (year < 50 ? 2000 : 1900);
  if (digits == 3) return year + 1900;
  return year;
}

// The zone after the time: "+hhmm" or "-hhmm" after white space, or a name: UT, UTC, GMT, the
// North American zones, or a military letter (any but J), which RFC 5322 reads as -0000: RFC 822
// gave them the wrong signs, so no sender's meaning can be known.
bool readZone(DateReader& reader, int32_t* offsetToUTC) {
  bool east = reader.follows(u'+');
  if (east || reader.follows(u'-')) {
    if (!reader.afterWhiteSpace()) return false;
    reader.take(east ? u'+' : u'-');
    int64_t hhmm = 0;
    if (reader.digits(&hhmm) != 4) return false;
    int32_t m = static_cast<int32_t>(hhmm / 100 * 3600 + hhmm % 100 * 60);
    *offsetToUTC = east ? -m : m;
    return true;
  }
  std::string name = reader.word();
  if (name.size() == 1) {
    *offsetToUTC = 0;
    return (name[0] | 0x20) != 'j';
  }
  for (const TimeZone* zone = kTimeZones; zone->name != nullptr; ++zone) {
    if (strcasecmp(name.c_str(), zone->name) == 0) {
      *offsetToUTC = zone->hours * -3600;
      return true;
    }
  }
  return false;
}

// hh ":" mm [":" ss] and the zone.
bool readTime(DateReader& reader, DateFields& fields) {
  if (!readTwoDigits(reader, &fields.hour) || !reader.skipSpace() || !reader.take(u':') ||
      !reader.skipSpace() || !readTwoDigits(reader, &fields.minute) || !reader.skipSpace()) {
    return false;
  }
  if (reader.take(u':')) {
    if (!reader.skipSpace() || !readTwoDigits(reader, &fields.second) || !reader.skipSpace()) {
      return false;
    }
  }
  return readZone(reader, &fields.offsetToUTC);
}

// [day-name ","] day month year time, with space and comments around every part.
std::optional<DateFields> readDate(std::u16string_view text) {
  DateReader reader(text);
  DateFields fields;
  if (!reader.skipSpace()) return std::nullopt;
  // A day name (any: a wrong one is ignored) and its comma.
  if (!reader.followsDigit() && (indexOf(kDayNames, reader.word()) < 0 || !reader.skipSpace() ||
                                 !reader.take(u',') || !reader.skipSpace())) {
    return std::nullopt;
  }
  size_t dayDigits = reader.digits(&fields.day);
  if (dayDigits < 1 || dayDigits > 2 || !reader.skipSpace()) return std::nullopt;
  fields.month = indexOf(kMonthNames, reader.word());
  if (fields.month < 0 || !reader.skipSpace()) return std::nullopt;
  size_t yearDigits = reader.digits(&fields.year);
  if (yearDigits < 2 || !reader.skipSpace()) return std::nullopt;
  fields.year = fullYear(fields.year, yearDigits);
  if (!readTime(reader, fields) || !reader.skipSpace() || !reader.atEnd()) return std::nullopt;
  return fields;
}

int32_t secondsOf(const DateFields& fields) {
  if (fields.year > kLastYearToCompute) return 0;
  std::tm calendar{};
  calendar.tm_year = static_cast<int>(fields.year - 1900);
  calendar.tm_mon = fields.month;
  calendar.tm_mday = static_cast<int>(fields.day);
  calendar.tm_hour = static_cast<int>(fields.hour);
  calendar.tm_min = static_cast<int>(fields.minute);
  calendar.tm_sec = static_cast<int>(fields.second + fields.offsetToUTC);
  time_t seconds = timegm(&calendar);
  if (seconds < 0) return -1;
  // A moment past what a longint holds is no moment the caller can use, not a wrapped one.
  return seconds > INT32_MAX ? 0 : static_cast<int32_t>(seconds);
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
  std::optional<DateFields> fields = readDate(unitsOf(text));
  return fields ? secondsOf(*fields) : 0;
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
