// Internet dates through ZUV_RFC822Date2Seconds, ZUV_Seconds2RFC822Date, ZUV_DateTime2Seconds
// and ZUV_Seconds2DateTime: RFC 822 texts parsed and written, compared with python3's
// email.utils where the two agree, and local time in time zones set in this process.

#include <random>

#include <stdlib.h>
#include <time.h>

#include "codecs_oracle.h"

namespace zuvtest {
namespace {

constexpr int64_t k2000 = 946684800;  // 2000-01-01 00:00:00 UTC

// Sets the process's time zone for a scope: the plug-in's local time is the process's.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedTimeZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

class DateTest : public PluginTest {
 protected:
  int64_t parse(const std::string& text) {
    return run("ZUV_RFC822Date2Seconds", {txt(text)}).number();
  }
  std::string format(int64_t seconds, int64_t utc, int64_t zoneName = 0) {
    return host::utf8(
        run("ZUV_Seconds2RFC822Date", {num(seconds), num(utc), num(zoneName)}).text());
  }
  int64_t toSeconds(host::Date date, int64_t time, int64_t local) {
    return run("ZUV_DateTime2Seconds", {Value{date}, num(time), num(local)}).number();
  }
  std::pair<host::Date, int64_t> toDateTime(int64_t seconds, int64_t utc) {
    Outcome out =
        run("ZUV_Seconds2DateTime", {num(seconds), Value{host::Date{}}, num(0), num(utc)});
    return {std::get<host::Date>(out.params.at(1)), out.number(3)};
  }
};

TEST_F(DateTest, ParsesTheFormsOfTheDatePattern) {
  struct Case {
    const char* text;
    int64_t seconds;
  };
  const Case cases[] = {
      {"Sat, 1 Jan 2000 00:00:00 GMT", k2000},
      {"1 Jan 2000 00:00 GMT", k2000},
      {"1 Jan 2000 00:00:00 +0000", k2000},
      {"1 Jan 2000 00:00:00 -0000", k2000},
      {"1 Jan 00 00:00:00 UT", k2000},
      {"Sat, 01 Jan 2000 00:00:00 GMT", k2000},
      {"Fri, 31 Dec 1999 19:00:00 EST", k2000},
      {"1 Jan 2000 00:00:00 +0100", k2000 - 3600},
      {"1 Jan 2000 05:30:00 +0530", k2000},
      {"Mon, 1 Jan 2000 00:00:00 GMT", k2000},  // a wrong day name is ignored
      // Two-digit years: 00 to 29 are 2000 to 2029, 30 to 99 are 1930 to 1999.
      {"1 Jan 29 00:00:00 GMT", 1861920000},
      {"1 Jan 30 00:00:00 GMT", -1},
      {"1 Jan 99 00:00:00 GMT", 915148800},
      // Fields out of range carry into the next unit.
      {"31 Feb 2001 00:00:00 GMT", 983577600},
      {"1 Jan 2000 24:00:00 GMT", k2000 + 86400},
      {"1 Jan 2000 00:00:60 GMT", k2000 + 60},
      // The epoch answers 0, like a text that is no date; moments before it answer -1.
      {"1 Jan 1970 00:00:00 GMT", 0},
      {"1 Jan 1970 00:00:00 +0100", -1},
      {"31 Dec 1969 23:59:59 GMT", -1},
      // Seconds are a longint: after 2038-01-19 03:14:07 they wrap.
      {"19 Jan 2038 03:14:07 GMT", 2147483647},
      {"19 Jan 2038 03:14:08 GMT", -2147483648LL},
      // Not dates of the pattern.
      {"Sat,  1 Jan 2000 00:00:00 GMT", 0},
      {"sat, 1 Jan 2000 00:00:00 GMT", 0},
      {"1 jan 2000 00:00:00 GMT", 0},
      {"1 Jan 2000 00:00:00 UTC", 0},
      {"1 Jan 2000 0:00:00 GMT", 0},
      {"1 Jan 200 00:00:00 GMT", 0},
      {" 1 Jan 2000 00:00:00 GMT", 0},
      {"1 Jan 2000 00:00:00 GMT ", 0},
      {"1 Jan 2000 00:00:00 (UTC)", 0},
      {"1 Jan 2000 00:00:00 Z", 0},
      {"", 0},
      // Digits of other scripts match the pattern's \d but are no decimal digits to read.
      {"1 Jan \u0662\u0660\u0660\u0660 00:00:00 GMT", 0},
      {"1 Jan \uff12\uff10\uff10\uff10 00:00:00 GMT", 0},
      {"\u0661 Jan 2000 00:00:00 GMT", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse(c.text), c.seconds);
  }
}

TEST_F(DateTest, NamedZonesEqualTheirNumericForms) {
  const std::pair<const char*, const char*> zones[] = {
      {"UT", "+0000"},  {"GMT", "+0000"}, {"EST", "-0500"}, {"EDT", "-0400"}, {"CST", "-0600"},
      {"CDT", "-0500"}, {"MST", "-0700"}, {"MDT", "-0600"}, {"PST", "-0800"}, {"PDT", "-0700"},
  };
  for (const auto& [name, number] : zones) {
    SCOPED_TRACE(name);
    std::string date = "15 Jun 2010 12:34:56 ";
    EXPECT_EQ(parse(date + name), parse(date + number));
    EXPECT_NE(parse(date + name), 0);
  }
}

TEST_F(DateTest, ParsesWhatEmailUtilsWritesAndReads) {
  // Random moments with random numeric zones, written by email.utils.format_datetime; its own
  // parsedate_tz and mktime_tz give the seconds to expect.
  std::mt19937 random(822);
  std::vector<std::string> inputs;
  for (int i = 0; i < 300; ++i) {
    int64_t seconds = std::uniform_int_distribution<int64_t>(86400, 2147483647 - 86400)(random);
    int offset = std::uniform_int_distribution<int>(-12 * 4, 14 * 4)(random) * 15;
    inputs.push_back(std::to_string(seconds) + " " + std::to_string(offset));
  }
  std::vector<std::string> dates = runPython(
      "import email.utils, datetime\n"
      "for l in lines:\n"
      "  s, m = map(int, l.split())\n"
      "  z = datetime.timezone(datetime.timedelta(minutes=m))\n"
      "  d = email.utils.format_datetime(datetime.datetime.fromtimestamp(s, z))\n"
      "  t = email.utils.mktime_tz(email.utils.parsedate_tz(d))\n"
      "  print((d + '|' + str(t)).encode().hex())\n",
      inputs);
  ASSERT_EQ(dates.size(), inputs.size());
  for (const std::string& line : dates) {
    SCOPED_TRACE(line);
    size_t bar = line.find('|');
    EXPECT_EQ(parse(line.substr(0, bar)), std::stoll(line.substr(bar + 1)));
  }
}

TEST_F(DateTest, FormatsInUTCAsEmailUtilsDoes) {
  // formatdate writes the day with two digits; ours has no leading zero.
  std::mt19937 random(1123);
  std::vector<std::string> inputs;
  std::vector<int64_t> moments = {0, -1, k2000, 2147483647, -2147483648LL, 951782400};
  while (moments.size() < 200) {
    moments.push_back(std::uniform_int_distribution<int64_t>(-2147483648LL, 2147483647)(random));
  }
  for (int64_t seconds : moments) inputs.push_back(std::to_string(seconds));
  std::vector<std::string> expected = runPython(
      "import email.utils, re\n"
      "for l in lines:\n"
      "  d = email.utils.formatdate(int(l), usegmt=True)\n"
      "  print(re.sub(r', 0', ', ', d).encode().hex())\n",
      inputs);
  ASSERT_EQ(expected.size(), moments.size());
  for (size_t i = 0; i < moments.size(); ++i) {
    SCOPED_TRACE(moments[i]);
    EXPECT_EQ(format(moments[i], 1), expected[i]);
    EXPECT_EQ(format(moments[i], -5, 1), expected[i]) << "any non-zero value means UTC";
  }
  EXPECT_EQ(format(0, 1), "Thu, 1 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(format(-1, 1), "Wed, 31 Dec 1969 23:59:59 GMT");
  EXPECT_EQ(format(k2000, 1), "Sat, 1 Jan 2000 00:00:00 GMT");
}

TEST_F(DateTest, FormatsLocalTimeWithNumericZoneOrItsName) {
  struct Case {
    const char* zone;
    int64_t seconds;
    const char* numeric;
    const char* named;
  };
  const Case cases[] = {
      {"America/New_York", k2000, "Fri, 31 Dec 1999 19:00:00 -0500",
       "Fri, 31 Dec 1999 19:00:00 EST"},
      {"America/New_York", 962409600, "Fri, 30 Jun 2000 20:00:00 -0400",
       "Fri, 30 Jun 2000 20:00:00 EDT"},
      {"Asia/Kolkata", k2000, "Sat, 1 Jan 2000 05:30:00 +0530", "Sat, 1 Jan 2000 05:30:00 IST"},
      {"UTC", k2000, "Sat, 1 Jan 2000 00:00:00 +0000", "Sat, 1 Jan 2000 00:00:00 UTC"},
      // A zone less than a minute west of UTC writes +0000.
      {"<XYZ>+0:00:30", k2000, "Fri, 31 Dec 1999 23:59:30 +0000", "Fri, 31 Dec 1999 23:59:30 XYZ"},
      // A long zone name: at most 8 characters of it, and the whole at most 31.
      {"<ABCDEFGHIJ>-3", k2000, "Sat, 1 Jan 2000 03:00:00 +0300",
       "Sat, 1 Jan 2000 03:00:00 ABCDEF"},
      {"<ABCDEFGHIJ>-3", 9 * 86400, "Sat, 10 Jan 1970 03:00:00 +0300",
       "Sat, 10 Jan 1970 03:00:00 ABCDE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.zone) + " " + std::to_string(c.seconds));
    ScopedTimeZone zone(c.zone);
    EXPECT_EQ(format(c.seconds, 0, 0), c.numeric);
    EXPECT_EQ(format(c.seconds, 0, 1), c.named);
    // What the plug-in writes in local time it reads back, where the zone is a numeric one.
    EXPECT_EQ(parse(c.numeric),
              c.seconds - (std::string(c.zone).find("XYZ") != std::string::npos ? 30 : 0));
  }
}

TEST_F(DateTest, DateAndTimeToSecondsAndBack) {
  // UTC: the host's date and time of day for a moment, and the moment again.
  struct Case {
    host::Date date;
    int64_t time;
    int64_t seconds;
  };
  const Case cases[] = {
      {{1, 1, 2000}, 0, k2000},
      {{29, 2, 2000}, 12 * 3600 + 34 * 60 + 56, 951827696},
      {{31, 12, 1969}, 86399, -1},
      {{13, 12, 1901}, 20 * 3600 + 45 * 60 + 52, -2147483648LL},
      {{19, 1, 2038}, 3 * 3600 + 14 * 60 + 7, 2147483647},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(toSeconds(c.date, c.time, 0), c.seconds);
    auto [date, time] = toDateTime(c.seconds, 1);
    EXPECT_EQ(date, c.date);
    EXPECT_EQ(time, c.time);
  }
  // A time of day of 25 hours is the next day at 01:00:00.
  EXPECT_EQ(toSeconds({1, 1, 2000}, 25 * 3600, 0), k2000 + 25 * 3600);
  // Past 2038 the count keeps its low 32 bits.
  EXPECT_EQ(toSeconds({19, 1, 2038}, 3 * 3600 + 14 * 60 + 8, 0), -2147483648LL);
}

TEST_F(DateTest, LocalDateAndTimeFollowTheTimeZone) {
  ScopedTimeZone zone("America/New_York");
  EXPECT_EQ(toSeconds({31, 12, 1999}, 19 * 3600, 1), k2000);
  EXPECT_EQ(toSeconds({30, 6, 2000}, 20 * 3600, 1), 962409600) << "daylight saving time";
  // Late on the day the clocks go forward (29 April 1979) and back (28 October 1979).
  EXPECT_EQ(toSeconds({29, 4, 1979}, 23 * 3600 + 57 * 60 + 57, 1), 294292677);
  EXPECT_EQ(toSeconds({28, 10, 1979}, 22 * 3600, 1), 310014000);
  auto [winter, winterTime] = toDateTime(k2000, 0);
  EXPECT_EQ(winter, (host::Date{31, 12, 1999}));
  EXPECT_EQ(winterTime, 19 * 3600);
  // Inverse to each other for ordinary local times.
  std::mt19937 random(49);
  for (int i = 0; i < 200; ++i) {
    int64_t seconds = std::uniform_int_distribution<int64_t>(0, 2147000000)(random);
    auto [date, time] = toDateTime(seconds, 0);
    SCOPED_TRACE(seconds);
    EXPECT_EQ(toSeconds(date, time, 1), seconds);
  }
}

}  // namespace
}  // namespace zuvtest
