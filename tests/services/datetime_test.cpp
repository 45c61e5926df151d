// Internet dates through ZUV_RFC822Date2Seconds, ZUV_Seconds2RFC822Date, ZUV_DateTime2Seconds
// and ZUV_Seconds2DateTime: RFC 822 texts parsed and written, compared with python3's
// email.utils where the two agree, and local time in time zones set in this process.

#include <random>

#include <stdlib.h>
#include <time.h>

#include "codecs/codecs_oracle.h"

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
      // Two-digit years as RFC 5322 reads them: 00 to 49 are 2000 to 2049, 50 to 99 are 1950 to
      // 1999; three-digit years count from 1900.
      {"1 Jan 29 00:00:00 GMT", 1861920000},
      {"1 Jan 30 00:00:00 GMT", 1893456000},
      {"1 Jan 37 00:00:00 GMT", 2114380800},
      {"1 Jan 50 00:00:00 GMT", -1},
      {"1 Jan 99 00:00:00 GMT", 915148800},
      {"1 Jan 100 00:00:00 GMT", k2000},
      {"1 Jan 069 00:00:00 GMT", -1},
      // Fields out of range carry into the next unit.
      {"31 Feb 2001 00:00:00 GMT", 983577600},
      {"1 Jan 2000 24:00:00 GMT", k2000 + 86400},
      {"1 Jan 2000 00:00:60 GMT", k2000 + 60},
      // The epoch answers 0, like a text that is no date; moments before it answer -1.
      {"1 Jan 1970 00:00:00 GMT", 0},
      {"1 Jan 1970 00:00:00 +0100", -1},
      {"31 Dec 1969 23:59:59 GMT", -1},
      {"1 Jan 1800 00:00:00 GMT", -1},
      // Seconds are a longint: a moment after 2038-01-19 03:14:07 is none it can hold.
      {"19 Jan 2038 03:14:07 GMT", 2147483647},
      {"19 Jan 2038 03:14:08 GMT", 0},
      {"Sun, 7 Feb 2106 06:28:17 GMT", 0},
      {"1 Jan 2100 00:00:00 GMT", 0},
      {"1 Jan 200 00:00:00 GMT", 0},
      {"1 Jan 99999999999999999999 00:00:00 GMT", 0},
      {"20 Jan 2038 00:00:00 +2400", 2147472000},
      // Not dates.
      {"1 Jan 2000 0:00:00 GMT", 0},
      {"1 Jan 2000 000:00:00 GMT", 0},
      {"123 Jan 2000 00:00:00 GMT", 0},
      {"1 Jan 2 00:00:00 GMT", 0},
      {"1 Jan 2000 00:00:00", 0},
      {"1 Jan 2000 00:00:00 (UTC)", 0},
      {"1 Jan 2000 00:00:00 +000", 0},
      {"1 Jan 2000 00:00:00 +00000", 0},
      {"Sat 1 Jan 2000 00:00:00 GMT", 0},
      {"", 0},
      // Digits of other scripts are no decimal digits to read.
      {"1 Jan \u0662\u0660\u0660\u0660 00:00:00 GMT", 0},
      {"1 Jan \uff12\uff10\uff10\uff10 00:00:00 GMT", 0},
      {"\u0661 Jan 2000 00:00:00 GMT", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse(c.text), c.seconds);
  }
}

TEST_F(DateTest, ReadsDatesAsRealMailCarriesThem) {
  // RFC 5322 with its obsolete syntax: comments, folded lines, tabs and runs of spaces between
  // the parts, names in any case, UT, UTC and the military zones.
  const char* const forms[] = {
      "Sat, 1 Jan 2000 02:00:00 +0200 (CEST)",
      "Sat, 1 Jan 2000 00:00:00 GMT (Greenwich (Mean) Time)",
      "Sat, 1 Jan 2000 00:00:00 +0000 (a \\) b \\( c)",
      "Sat, 1 Jan 2000 00:00:00 +0000 (Mitteleurop\u00e4ische Zeit)",
      "(sent) Sat (day) , (comma) 1 (day) Jan (month) 2000 (year) 00 : 00 : 00 (time) GMT",
      "Sat,\r\n 1 Jan 2000\r\n\t00:00:00\r\n +0000",
      "Sat,\t1\tJan\t2000\t00:00:00\tGMT",
      "Sat,  1  Jan  2000  00:00:00  GMT",
      "Sat,1 Jan 2000 00:00:00 GMT",
      "SAT, 1 JAN 2000 00:00:00 GMT",
      "sat, 1 jan 2000 00:00:00 gmt",
      "1 Jan 2000 00:00:00 UT",
      "1 Jan 2000 00:00:00 UTC",
      "1 Jan 2000 00:00:00 utc",
      "1 Jan 2000 00:00:00 Z",
      "1 Jan 2000 00:00:00 z",
      "1 Jan 2000 00:00:00 A",
      "1 Jan 2000 00:00:00 M",
      "1 Jan 2000 00:00:00 N",
      "1 Jan 2000 00:00:00 Y",
      "1 Jan 2000 00:00:00GMT",
      "1Jan2000 00:00:00 GMT",
      "  1 Jan 2000 00:00:00 GMT  ",
      " 1 Jan 2000 00:00:00 GMT",
      "1 Jan 2000 00:00:00 GMT ",
      "1 Jan 100 00:00:00 GMT",
      "Fri, 31 Dec 1999 19:00:00 est",
  };
  for (const char* form : forms) {
    SCOPED_TRACE(form);
    EXPECT_EQ(parse(form), k2000);
  }
  const char* const refused[] = {
      "1 Jan 2000 00:00:00 J",    // the one letter that is no military zone
      "1 Jan 2000 00:00:00 CET",  // a name that is not RFC 5322's
      "1 Jan 2000 00:00:00 CEST",
      "1 Jan 2000 00:00:00 GMT (open",  // a comment that does not end
      "1 Jan 2000 00:00:00 GMT ((one)",
      "1 Jan 2000 00:00:00 GMT (\\",
      "1 Jan 2000 00:00:00 GMT\r\n",  // a line end that does not fold
      "1 Jan 2000\r\n00:00:00 GMT",
      "1 Jan 2000\n 00:00:00 GMT",
      "1 Jan 2000 00:00:00 GMT\r",
      "1 Jan 2000 00:00+0000",  // a numeric zone after white space only
      "1 Jan 2000 00:00(c)+0000",
      "1 Jan 2000 00:00:00 + 0000",
      "Sat , 1 Jan 2000 00:00:00 GMT x",
      "Sat, 1 Jan 2000 00:00:00 GMT,",
      "Saturday, 1 Jan 2000 00:00:00 GMT",
      "1 January 2000 00:00:00 GMT",
      "1 Jan 2000 00:00:00 Greenwich",
  };
  for (const char* text : refused) {
    SCOPED_TRACE(text);
    EXPECT_EQ(parse(text), 0);
  }
  // A U+0000 is no white space, not even in a comment.
  EXPECT_EQ(run("ZUV_RFC822Date2Seconds", {Value{std::u16string(u"1 Jan 2000 00:00 GMT (\0)", 24)}})
                .number(),
            0);
  EXPECT_EQ(
      run("ZUV_RFC822Date2Seconds", {Value{std::u16string(u"1 Jan 2000 00:00 GMT (\\\0)", 25)}})
          .number(),
      k2000)
      << "but a quoted one is";
}

TEST_F(DateTest, ReadsTheFormsOfRealMailAsEmailUtilsDoes) {
  // email.utils reads runs of white space, folded lines, names in any case, a missing space
  // after the comma and a trailing comment: random moments written in random such forms, with
  // the years on which email.utils and RFC 5322 agree.
  std::vector<std::string> seeds;
  for (int i = 0; i < 300; ++i) seeds.push_back(std::to_string(i));
  std::vector<std::string> dates = runPython(
      "import email.utils, random, time\n"
      "DAYS = ['Mon', 'Tue', 'Wed', 'Thu', 'Fri', 'Sat', 'Sun']\n"
      "MONTHS = ['Jan', 'Feb', 'Mar', 'Apr', 'May', 'Jun', 'Jul', 'Aug', 'Sep', 'Oct', 'Nov', "
      "'Dec']\n"
      "ZONES = ['UT', 'UTC', 'GMT', 'Z', 'EST', 'EDT', 'CST', 'CDT', 'MST', 'MDT', 'PST', 'PDT']\n"
      "SPACES = [' ', '  ', '\\t', ' \\t ', '\\r\\n ', '\\r\\n\\t']\n"
      "def case(r, name):\n"
      "  return r.choice([name, name.upper(), name.lower()])\n"
      "for l in lines:\n"
      "  r = random.Random(int(l))\n"
      "  t = time.gmtime(r.randrange(86400 * 2, 2147483647 - 86400 * 2))\n"
      "  sp = lambda: r.choice(SPACES)\n"
      "  year = t.tm_year if t.tm_year < 2000 or t.tm_year > 2037 or r.random() < 0.5 "
      "else '%02d' % (t.tm_year - 2000)\n"
      "  if isinstance(year, int) and 1970 <= year < 2000 and r.random() < 0.3:\n"
      "    year = '%02d' % (year - 1900)\n"
      "  if r.random() < 0.5:\n"
      "    zone = case(r, r.choice(ZONES))\n"
      "  else:\n"
      "    zone = '%+03d%02d' % (r.randrange(-12, 15), r.choice([0, 15, 30, 45]))\n"
      "  d = ''\n"
      "  if r.random() < 0.7:\n"
      "    d = case(r, DAYS[t.tm_wday]) + ',' + r.choice(['', sp()])\n"
      "  d += str(t.tm_mday) + sp() + case(r, MONTHS[t.tm_mon - 1]) + sp() + str(year) + sp()\n"
      "  d += '%02d:%02d' % (t.tm_hour, t.tm_min)\n"
      "  if r.random() < 0.7:\n"
      "    d += ':%02d' % t.tm_sec\n"
      "  d += sp() + zone\n"
      "  if r.random() < 0.4:\n"
      "    d += sp() + '(' + r.choice(['CEST', 'Pacific Standard Time', 'UTC']) + ')'\n"
      "  s = email.utils.mktime_tz(email.utils.parsedate_tz(d))\n"
      "  print((d + '|' + str(s)).encode().hex())\n",
      seeds);
  ASSERT_EQ(dates.size(), seeds.size());
  for (const std::string& line : dates) {
    SCOPED_TRACE(line);
    size_t bar = line.rfind('|');
    int64_t expected = std::stoll(line.substr(bar + 1));
    EXPECT_EQ(parse(line.substr(0, bar)), expected > 2147483647 ? 0 : expected);
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
}

TEST_F(DateTest, MomentsALongintCannotHoldAnswerMinusOne) {
  // Not moments of 1963 or 1905 that look like answers.
  const std::pair<host::Date, int64_t> outside[] = {
      {{19, 1, 2038}, 3 * 3600 + 14 * 60 + 8},
      {{1, 1, 2100}, 0},
      {{13, 12, 1901}, 20 * 3600 + 45 * 60 + 51},
      {{1, 1, 1800}, 0},
      {{0, 0, 0}, 0},  // the null date
  };
  for (const auto& [date, time] : outside) {
    SCOPED_TRACE(std::to_string(date.year) + "-" + std::to_string(date.month));
    EXPECT_EQ(toSeconds(date, time, 0), -1);
  }
  ScopedTimeZone zone("Europe/Paris");
  EXPECT_EQ(toSeconds({1, 1, 2100}, 0, 1), -1) << "local time";
  EXPECT_EQ(toSeconds({0, 0, 0}, 0, 1), -1) << "local time";
  EXPECT_EQ(toSeconds({19, 1, 2038}, 4 * 3600 + 14 * 60 + 7, 1), 2147483647) << "local time";
  EXPECT_EQ(toSeconds({19, 1, 2038}, 4 * 3600 + 14 * 60 + 8, 1), -1) << "local time";
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
