// The pieces every transfer loop shares, called directly with tables of cases where the commands
// would hide them: the decoders of the filter bits and the character-set pairs of file and BLOB
// filters, the UTF-8 cut at a chunk's end, the deadlines made from time-outs, the delimiter
// search as the buffer grows (against the rule of a zero-terminated search and against
// std::string::find), and the conversion of one chunk and of a transfer.

#include "commands/zuv_transfers_common.h"

#include <climits>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <utility>

#include "4DPluginAPI.h"
#include "network/tcp.h"
#include "support/plugin_test.h"
#include "text/conversion.h"
#include "text/filter_charsets.h"

namespace zuvtest {
namespace {

// ---- Filter bits
// ---------------------------------------------------------------------------------

struct EncodingCase {
  int filter;
  EncodeDirection direction;
  PA_4DCharSet charset;
  int left;  // what the decoder leaves of the filter
};

TEST(FilterCharsetsTest, TextCommandsNameAtMostOneCharsetOfTheirOwnDirection) {
  const EncodingCase cases[] = {
      {0, kEncodeSend, 7, 0},
      {0, kEncodeReceive, 7, 0},
      {0x800, kEncodeSend, 7, 0},
      {0x800, kEncodeReceive, 0, 0x800},
      {0x1000, kEncodeReceive, 7, 0},
      {0x1, kEncodeSend, 1005, 0},
      {0x2, kEncodeReceive, 1005, 0},
      {0x2000, kEncodeSend, 100, 0},
      {0x4000, kEncodeReceive, 100, 0},
      // Sending finds 0x1, then 0x2 of the other direction; receiving meets 0x1 first.
      {0x3, kEncodeSend, 0, 0x2},
      {0x3, kEncodeReceive, 0, 0x3},
      // Two of its own: both bits cleared.
      {0x1000 | 0x4000, kEncodeReceive, 0, 0},
      {0x2 | 0x800, kEncodeReceive, 0, 0x800},
      {0x4, kEncodeReceive, 0, 0x4},
      {0x1004, kEncodeReceive, 7, 0x4},
      {0x1 | 0x80, kEncodeSend, 1005, 0x80},
      // Bits that no row names stay as they were.
      {0x8000 | 0x1000, kEncodeReceive, 7, 0x8000},
  };
  for (const EncodingCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "filter 0x" << std::hex << c.filter << " direction " << c.direction);
    int filter = c.filter;
    EXPECT_EQ(getEncodingFromFilter(filter, c.direction), c.charset);
    EXPECT_EQ(filter, c.left);
  }
}

struct PairCase {
  int filter;
  PA_4DCharSet source;
  PA_4DCharSet target;
  int left;
};

TEST(FilterCharsetsTest, FileAndBlobFiltersGiveASourceAndATarget) {
  const PairCase cases[] = {
      {0x800, 7, 7, 0},
      {0x1 | 0x1000, 7, 1005, 0},
      {0x2 | 0x1000, 1005, 1005, 0},
      {0, 0, 0, 0},
      {0x7FFF, 1005, 1005, 0x7FC},
      {0x4, 0, 0, 0x4},
      {0x4000 | 0x800, 100, 7, 0},
      {0x2000, 100, 100, 0},
      {0x1000 | 0x4000, 7, 7, 0},
      {0x8000 | 0x104, 0, 0, 0x104},
  };
  for (const PairCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "filter 0x" << std::hex << c.filter);
    int filter = c.filter;
    PA_4DCharSet source = -1;
    PA_4DCharSet target = -1;
    getFilterCharsets(filter, source, target);
    EXPECT_EQ(source, c.source);
    EXPECT_EQ(target, c.target);
    EXPECT_EQ(filter, c.left);
  }
}

TEST(FilterCharsetsTest, RawTransfersAndFiltersThatProduceNothing) {
  EXPECT_TRUE((ChunkConversion{7, 7, 0}.raw()));
  EXPECT_TRUE((ChunkConversion{0, 0, 0}.raw()));
  EXPECT_FALSE((ChunkConversion{7, 1005, 0}.raw()));
  EXPECT_FALSE((ChunkConversion{7, 7, 0x4}.raw()));
  EXPECT_TRUE((ChunkConversion{0, 0, 0x4}.producesNothing()));
  EXPECT_FALSE((ChunkConversion{7, 7, 0x4}.producesNothing()));
}

// ---- The UTF-8 cut
// ---------------------------------------------------------------------------------

struct CutCase {
  std::string bytes;
  int keep;
};

TEST(UTF8SendSizeTest, TheLastMultiByteCharacterWaitsUnlessItIsTheWholeChunk) {
  const CutCase cases[] = {
      {"abc", 3},
      {"ab\xC3", 2},
      {"ab\xC3\xA9", 2},  // complete, and still held back
      {"\xC3\xA9", 2},
      {"\xE2\x82\xAC", 3},
      {"a\x80", 1},
      {"\x80\x80\x80", 2},
      {"ab\xF0\x9F\x98\x80", 2},
      {"ab\xF0\x9F\x98", 2},
      {"a", 1},
      {"\xC3", 1},
      {"\x80", 1},
      {"\xF0", 1},
      {"\xE2\x82\xACx", 4},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    // An exact allocation, so that a read past the chunk shows under the sanitizers.
    std::unique_ptr<char[]> chunk(new char[c.bytes.size()]);
    std::memcpy(chunk.get(), c.bytes.data(), c.bytes.size());
    EXPECT_EQ(getUTF8SendSize(chunk.get(), static_cast<int>(c.bytes.size())), c.keep);
  }
}

TEST(UTF8SendSizeTest, OnlyTheBeginningOfACharacterIsAnIncompleteTail) {
  const CutCase cases[] = {
      {"", 0},
      {"abc", 0},
      {"ab\xC3", 1},
      {"ab\xC3\xA9", 0},
      {"\xE2", 1},
      {"\xE2\x82", 2},
      {"\xE2\x82\xAC", 0},
      {"a\xF0\x9F\x98", 3},
      {"a\xF0\x9F", 2},
      {"\xF0\x9F\x98\x80", 0},
      // Stray continuation bytes and leads that no byte may follow are no beginning.
      {"a\x80", 0},
      {"\x80\x80\x80", 0},
      {"a\xC0", 0},
      {"a\xF5", 0},
      {"a\xFF", 0},
      // Second bytes that the lead does not allow: overlong, surrogate, past U+10FFFF.
      {"a\xE0\x80", 0},
      {"a\xED\xA0", 0},
      {"a\xF0\x80", 0},
      {"a\xF4\x90", 0},
      {"a\xE0\xA0", 2},
      {"a\xF4\x8F\xBF", 3},
  };
  for (const CutCase& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    std::unique_ptr<char[]> run(new char[c.bytes.size() + 1]);
    std::memcpy(run.get(), c.bytes.data(), c.bytes.size());
    EXPECT_EQ(incompleteUTF8Tail(run.get(), static_cast<int64_t>(c.bytes.size())), c.keep);
  }
}

// ---- Deadlines
// ---------------------------------------------------------------------------------------

TEST(DeadlineTest, TicksBecomeMillisecondsTruncatedIn64Bits) {
  const std::pair<int32_t, int64_t> cases[] = {
      {1, 16},
      {3, 50},
      {60, 1000},
      {0, 0},
      {-1, -16},
      {30, 500},
      {INT_MAX, 35791394116},
      {INT_MIN, -35791394133},
  };
  for (auto [ticks, ms] : cases) {
    SCOPED_TRACE(ticks);
    EXPECT_EQ(ticksToMilliseconds(ticks), ms);
  }
}

TEST(DeadlineTest, ADeadlinePassesOnlyOnceTheClockIsBeyondIt) {
  EXPECT_FALSE(Deadline::none().exists());
  EXPECT_FALSE(Deadline::none().passed());
  Deadline soon = Deadline::afterTicks(1);
  EXPECT_TRUE(soon.exists());
  EXPECT_FALSE(Deadline::afterSeconds(3600).passed());
  tcp::testing::advanceClocks(1);
  EXPECT_TRUE(soon.passed());
  tcp::testing::resetClocks();
  EXPECT_TRUE(Deadline::afterTicks(-1).passed());
}

// ---- Delimiter search
// ----------------------------------------------------------------------------

// The rule the search must give: the first occurrence at or after start, as find gives it.
int64_t findFrom(const std::string& bytes, const std::string& delimiter, int64_t start) {
  if (delimiter.empty() || start >= static_cast<int64_t>(bytes.size())) return -1;
  size_t at = bytes.find(delimiter, static_cast<size_t>(start));
  return at == std::string::npos ? -1 : static_cast<int64_t>(at);
}

TEST(DelimiterSearchTest, AZeroByteHidesNoDelimiter) {
  std::string bytes("ab\0c\r\nd", 7);
  DelimiterSearch search("\r\n");
  EXPECT_EQ(search.find(bytes.data(), 7, 0), 4);
  DelimiterSearch fromZero("\r\n");
  EXPECT_EQ(fromZero.find(bytes.data(), 7, 2), 4);
}

TEST(DelimiterSearchTest, AnEmptyDelimiterMatchesNothingAndOneWithAZeroByteIsFound) {
  std::string bytes("xa\0b", 4);
  EXPECT_FALSE(DelimiterSearch("").matchesSomething());
  EXPECT_EQ(DelimiterSearch("").find(bytes.data(), 4, 0), -1);
  EXPECT_TRUE(DelimiterSearch(std::string_view("a\0b", 3)).matchesSomething());
  EXPECT_EQ(DelimiterSearch(std::string_view("a\0b", 3)).find(bytes.data(), 4, 0), 1);
  EXPECT_EQ(DelimiterSearch(std::string_view("\0", 1)).find(bytes.data(), 4, 3), -1);
}

TEST(DelimiterSearchTest, ASearchNeverReadsPastTheBuffer) {
  // The delimiter's first byte ends the buffer; its second lies beyond it, where a search for a
  // terminating zero would read on.
  std::string backing = "abc\r\n";
  std::unique_ptr<char[]> exact(new char[4]);
  std::memcpy(exact.get(), backing.data(), 4);
  DelimiterSearch search("\r\n");
  EXPECT_EQ(search.find(exact.get(), 4, 0), -1);
}

// A receive grows its buffer and searches again on every pass, from 0 or from the last bytes:
// what the remembering search finds must be what the rule finds on the whole buffer.
TEST(DelimiterSearchTest, RememberingSearchesGiveTheRulesAnswerAsTheBufferGrows) {
  std::mt19937 random(20240611);
  const std::string alphabet("ab\r\n\0", 5);
  const std::string delimiters[] = {"\r\n", "a", "ab\r", "\r\n\r\n", "bab"};
  for (int round = 0; round < 2000; ++round) {
    const std::string& delimiter = delimiters[round % 5];
    bool newBytesOnly = (round / 5) % 2 == 1;
    DelimiterSearch search(delimiter);
    std::string bytes;
    for (int pass = 0; pass < 12; ++pass) {
      int64_t before = static_cast<int64_t>(bytes.size());
      int add = static_cast<int>(random() % 4);
      for (int i = 0; i < add; ++i) bytes += alphabet[random() % alphabet.size()];
      int64_t start =
          newBytesOnly ? std::max<int64_t>(before - static_cast<int64_t>(delimiter.size()) + 1, 0)
                       : 0;
      int64_t expected = findFrom(bytes, delimiter, start);
      int64_t found = search.find(bytes.data(), static_cast<int64_t>(bytes.size()), start);
      ASSERT_EQ(found, expected) << "round " << round << " pass " << pass << " bytes "
                                 << testing::PrintToString(bytes) << " start " << start;
      if (found >= 0) break;
    }
  }
}

// A receive reads every byte received, as bytes.find does: a zero byte is data.
TEST(DelimiterSearchTest, ASearchOfBinaryDataFindsWhatFindFindsAsTheBufferGrows) {
  std::mt19937 random(20240612);
  const std::string alphabet("ab\r\n\0", 5);
  const std::string delimiters[] = {"\r\n", std::string("\0a", 2), "ab\r", "\r\n\r\n"};
  for (int round = 0; round < 2000; ++round) {
    const std::string& delimiter = delimiters[round % 4];
    DelimiterSearch search(delimiter);
    ASSERT_TRUE(search.matchesSomething());
    std::string bytes;
    int64_t start = round % 3;
    for (int pass = 0; pass < 12; ++pass) {
      int add = static_cast<int>(random() % 4);
      for (int i = 0; i < add; ++i) bytes += alphabet[random() % alphabet.size()];
      int64_t expected = findFrom(bytes, delimiter, start);
      int64_t found = search.find(bytes.data(), static_cast<int64_t>(bytes.size()), start);
      ASSERT_EQ(found, expected) << "round " << round << " pass " << pass << " bytes "
                                 << testing::PrintToString(bytes);
      if (found >= 0) break;
    }
  }
}

// ---- Chunk conversion
// ------------------------------------------------------------------------------

class ChunkConversionTest : public PluginTest {
 protected:
  std::string convert(const std::string& bytes, ChunkConversion conversion) {
    std::string out;
    emu.run(1, [&] {
      EncodedChars chars = convertChunk(bytes.data(), static_cast<int>(bytes.size()), conversion);
      out.assign(chars.chars, static_cast<size_t>(chars.length));
    });
    return out;
  }
  // The bytes through a whole transfer's conversion of `filter`, as one chunk.
  std::string transfer(const std::string& bytes, int filter) {
    std::string out;
    emu.run(1, [&] {
      TransferConversion conversion(filter);
      for (const EncodedChars& chars :
           {conversion.next(bytes.data(), static_cast<int>(bytes.size())), conversion.finish()}) {
        if (chars.length > 0) out.append(chars.chars, static_cast<size_t>(chars.length));
      }
    });
    return out;
  }
};

TEST_F(ChunkConversionTest, RawCharsetAndFilteredChunks) {
  EXPECT_EQ(convert(std::string("a\0\xFF", 3), {7, 7, 0}), std::string("a\0\xFF", 3));
  EXPECT_EQ(convert("\xC3\xA9t\xC3\xA9", {7, 1005, 0}), "\xE9t\xE9");
  EXPECT_EQ(convert("\xE9t\xE9", {1005, 7, 0}), "\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(convert("\x8E", {100, 7, 0}), "\xC3\xA9");
  // Text bits go through the transfer's filters: UTF-8 in and out, ISO-8859-1 in and UTF-8 out.
  EXPECT_EQ(transfer("a\rb\r", 0x1000 | 0x800 | 0x4), "a\r\nb\r\n");
  EXPECT_EQ(transfer(std::string("a\0b\r", 4), 0x1000 | 0x800 | 0x4), std::string("a\0b\r\n", 5));
  EXPECT_EQ(transfer("\xE9\r", 0x2 | 0x800 | 0x4), "\xC3\xA9\r\n");
  // Base64 without padding.
  EXPECT_EQ(transfer("hello", 0x1000 | 0x800 | 0x80), "aGVsbG8");
  // Text bits without a character set produce nothing.
  EXPECT_EQ(transfer("hello", 0x4), "");
}

}  // namespace
}  // namespace zuvtest
