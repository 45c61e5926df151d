// Character-set conversion through the host and the holders and copies of host handles: the
// capacities the host is told, the plain copy between equal character sets, the size limits
// (computed in 64 bits, so that a size past 2,147,483,647 fails instead of wrapping), and the
// host's refusals, each checked before a byte is written.

#include "text/conversion.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/host_spy.h"
#include "support/plugin_test.h"

namespace zuvtest {
namespace {

constexpr int32_t kConvertEntry = -675;

std::string bytesOf(const EncodedChars& chars) { return std::string(chars.chars, chars.length); }

std::u16string unitsOf(const DecodedChars& chars) {
  return std::u16string(reinterpret_cast<const char16_t*>(chars.chars), chars.length);
}

const unsigned short* units(const std::u16string& text) {
  return reinterpret_cast<const unsigned short*>(text.c_str());
}

std::string handleBytes(HostHandle h) {
  const int32_t size = PA_GetHandleSize(h);
  return std::string(*h, static_cast<size_t>(size));
}

class ConversionTest : public PluginTest {};

TEST_F(ConversionTest, EmptySourcesGiveASingleZeroWithoutCallingTheHost) {
  emu.run(1, [&] {
    HostSpy spy;
    const char empty[] = "";
    const unsigned short noUnits[] = {0};
    std::vector<EncodedChars> results;
    results.push_back(convertToChars(empty, -1, kCharSetUTF8, kCharSet1005));
    results.push_back(
        convertToChars(static_cast<const char*>(nullptr), 12, kCharSetUTF8, kCharSet1005));
    results.push_back(convertToChars(noUnits, -1, kCharSetUTF8));
    results.push_back(convertToChars(static_cast<const unsigned short*>(nullptr), 5, kCharSetUTF8));
    results.push_back(convertToChars(units(u"abc"), 0, kCharSetUTF8));
    for (const EncodedChars& result : results) {
      EXPECT_EQ(result.length, 0);
      ASSERT_NE(result.chars, nullptr);
      EXPECT_EQ(result.chars[0], 0);
    }
    DecodedChars decoded = convertToUnicode(nullptr, -1, kCharSetUTF8);
    EXPECT_EQ(decoded.length, 0);
    EXPECT_EQ(decoded.chars[0], 0);
    EXPECT_EQ(spy.count(kConvertEntry), 0u);
  });
}

TEST_F(ConversionTest, ATargetOutsideTheTableGivesTheEmptyResultWithoutCallingTheHost) {
  emu.run(1, [&] {
    HostSpy spy;
    EncodedChars result = convertToChars(units(u"abc"), -1, 4242);
    EXPECT_EQ(result.length, 0);
    EXPECT_EQ(result.chars[0], 0);
    EXPECT_EQ(spy.count(kConvertEntry), 0u);
    EXPECT_EQ(maxBytesPerUnit(4242), 0);
  });
}

struct CapacityCase {
  const char* name;
  int64_t capacity;
};

// One allocation of the worst case: source elements times the table's maximum, plus the
// terminator (one byte, or one unit for UTF-16).
TEST_F(ConversionTest, TheHostIsToldTheWorstCaseCapacity) {
  emu.run(1, [&] {
    HostSpy spy;
    EncodedChars utf8 = convertToChars(units(u"a\u00e9\u20ac"), -1, kCharSetUTF8);
    DecodedChars utf16 = convertToUnicode("ab\xc3\xa9", 4, kCharSetUTF8);
    EncodedChars latin = convertToChars("abcde", 5, kCharSetUTF8, kCharSet1005);
    EncodedChars roman = convertToChars(units(u"xy"), 2, kCharSet100);
    const CapacityCase expected[] = {{"3 units to UTF-8", 10},
                                     {"4 bytes to UTF-16", 10},
                                     {"5 bytes to 1005", 6},
                                     {"2 units to 100", 3}};
    std::vector<RecordedCall> calls = spy.calls(kConvertEntry);
    ASSERT_EQ(calls.size(), 4u);
    for (size_t i = 0; i < calls.size(); ++i) {
      SCOPED_TRACE(expected[i].name);
      EXPECT_EQ(calls[i].in.param3, expected[i].capacity);
    }
    EXPECT_EQ(calls[0].in.param1, 6) << "a UTF-16 source is given in bytes";
    EXPECT_EQ(calls[0].in.param2, kCharSetUTF16);

    EXPECT_EQ(bytesOf(utf8), "a\xc3\xa9\xe2\x82\xac");
    EXPECT_EQ(utf8.chars[utf8.length], 0);
    EXPECT_EQ(unitsOf(utf16), u"ab\u00e9");
    EXPECT_EQ(utf16.chars[utf16.length], 0);
    EXPECT_EQ(bytesOf(latin), "abcde");
    EXPECT_EQ(bytesOf(roman), "xy");
  });
}

TEST_F(ConversionTest, EqualCharacterSetsCopyWithoutCallingTheHost) {
  emu.run(1, [&] {
    HostSpy spy;
    EncodedChars bytes = convertToChars("ab\0cd", 5, kCharSetUTF8, kCharSetUTF8);
    EXPECT_EQ(bytes.length, 5);
    EXPECT_EQ(std::string(bytes.chars, 5), std::string("ab\0cd", 5));
    EXPECT_EQ(bytes.chars[5], 0) << "a zero follows the copy all the same";

    const std::u16string text = u"hi!";
    EncodedChars raw =
        convertChars<unsigned short, EncodedChars>(units(text), 3, kCharSetUTF16, kCharSetUTF16);
    EXPECT_EQ(raw.length, 6);
    EXPECT_EQ(std::memcmp(raw.chars, text.data(), 6), 0);

    DecodedChars odd = convertChars<char, DecodedChars>("abcde", 5, kCharSetUTF16, kCharSetUTF16);
    EXPECT_EQ(odd.length, 2) << "5 bytes hold 2 whole units";
    EXPECT_EQ(std::memcmp(odd.chars, "abcde", 5), 0);
    EXPECT_EQ(spy.count(kConvertEntry), 0u);
  });
}

TEST_F(ConversionTest, ANegativeLengthMeasuresTheSource) {
  emu.run(1, [&] {
    EXPECT_EQ(bytesOf(convertToChars("hello\0world", -1, kCharSetUTF8, kCharSet1005)), "hello");
    EXPECT_EQ(bytesOf(convertToChars(units(u"h\u00e9"), -7, kCharSetUTF8)), "h\xc3\xa9");
  });
}

TEST_F(ConversionTest, ANothingConvertedByTheHostIsTheEmptyResult) {
  emu.run(1, [&] {
    emu.refuse(host::Refusal::Conversion);
    EncodedChars result = convertToChars(units(u"abc"), 3, kCharSetUTF8);
    EXPECT_EQ(result.length, 0);
    EXPECT_EQ(result.chars[0], 0);
  });
}

// Sizes past 32 bits fail before anything is allocated or read: the source pointers here point
// at a few bytes only.
TEST_F(ConversionTest, SizesPast32BitsGiveTheEmptyResultWithoutCallingTheHost) {
  emu.run(1, [&] {
    HostSpy spy;
    const char bytes[] = "abc";
    const struct {
      const char* name;
      EncodedChars result;
    } encoded[] = {
        {"2^30 units", convertToChars(units(u"abc"), 1 << 30, kCharSetUTF8)},
        {"715,827,883 bytes to UTF-8",
         convertToChars(bytes, 715827883, kCharSet1005, kCharSetUTF8)},
    };
    for (const auto& c : encoded) {
      SCOPED_TRACE(c.name);
      EXPECT_EQ(c.result.length, 0);
      EXPECT_EQ(c.result.chars[0], 0);
    }
    // 1,073,741,823 bytes to UTF-16 need 2,147,483,646 bytes, but the terminator makes 2^31.
    DecodedChars decoded = convertToUnicode(bytes, 1073741823, kCharSetUTF8);
    EXPECT_EQ(decoded.length, 0);
    EXPECT_EQ(spy.count(kConvertEntry), 0u);
  });
}

// ---- toCharsHandle --------------------------------------------------------------------------

struct HandleCase {
  ETerminationPolicy policy;
  int64_t madeSize;
  int32_t finalSize;
};

TEST_F(ConversionTest, ToCharsHandleMakesTheWorstCaseAndShrinksToTheBytesWritten) {
  const HandleCase cases[] = {{kTerminationNone, 12, 4}, {kTerminationZero, 15, 5}};
  emu.run(1, [&] {
    PA_Unistring text = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u"abcd"));
    for (const HandleCase& c : cases) {
      SCOPED_TRACE(c.policy);
      HostSpy spy;
      unique_handle h(toCharsHandle(text, kCharSetUTF8, c.policy));
      ASSERT_TRUE(h);
      std::vector<RecordedCall> made = spy.calls(kHandleEntry, kNewHandleOp);
      ASSERT_EQ(made.size(), 1u);
      EXPECT_EQ(made[0].in.param2, c.madeSize);
      EXPECT_EQ(spy.calls(kConvertEntry).at(0).in.param3, c.madeSize);
      EXPECT_EQ(PA_GetHandleSize(h.get()), c.finalSize);
      EXPECT_EQ(handleBytes(h.get()).substr(0, 4), "abcd");
      if (c.policy == kTerminationZero) {
        EXPECT_EQ((*h.get())[4], 0);
      }
    }
    PA_DisposeUnistring(&text);
  });
}

TEST_F(ConversionTest, ToCharsHandleConvertsWideCharacters) {
  emu.run(1, [&] {
    PA_Unistring text = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u"\u00e9\u20ac!"));
    unique_handle h(toCharsHandle(text, kCharSetUTF8, kTerminationNone));
    EXPECT_EQ(handleBytes(h.get()), "\xc3\xa9\xe2\x82\xac!");
    unique_handle latin(toCharsHandle(text, kCharSet1005, kTerminationZero));
    EXPECT_EQ(handleBytes(latin.get()), std::string("\xe9?!\0", 4));
    PA_DisposeUnistring(&text);
  });
}

TEST_F(ConversionTest, ToCharsHandleOfATargetOutsideTheTableIsAnEmptyHandle) {
  emu.run(1, [&] {
    PA_Unistring text = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u"abc"));
    HostSpy spy;
    unique_handle h(toCharsHandle(text, 4242, kTerminationZero));
    ASSERT_TRUE(h);
    EXPECT_EQ(PA_GetHandleSize(h.get()), 0);
    EXPECT_EQ(spy.count(kConvertEntry), 0u);
    PA_DisposeUnistring(&text);
  });
}

TEST_F(ConversionTest, ToCharsHandleAnswersNullWhenTheHostHasNoMemoryOrTheSizeIsTooLarge) {
  emu.run(1, [&] {
    PA_Unistring text = PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(u"abc"));
    emu.refuse(host::Refusal::NewHandle);
    EXPECT_EQ(toCharsHandle(text, kCharSetUTF8, kTerminationNone), nullptr);
    emu.clearRefusals();
    // A text of 715,827,883 units would need 2,147,483,649 bytes of UTF-8: refused before the
    // host is asked for anything (and before a unit is read).
    PA_Unistring huge = text;
    huge.fLength = 715827883;
    HostSpy spy;
    EXPECT_EQ(toCharsHandle(huge, kCharSetUTF8, kTerminationNone), nullptr);
    huge.fLength = 1 << 30;
    EXPECT_EQ(toCharsHandle(huge, kCharSet1005, kTerminationNone), nullptr);
    EXPECT_EQ(spy.count(kHandleEntry, kNewHandleOp), 0u);
    PA_DisposeUnistring(&text);
  });
}

// ---- Handle holders -------------------------------------------------------------------------

TEST_F(ConversionTest, UniqueHandleDisposesWhatItHoldsOnce) {
  emu.run(1, [&] {
    HostSpy spy;
    {
      unique_handle holder(PA_NewHandle(4));
      HostHandle first = holder.get();
      holder.reset(first);  // the same handle: kept
      EXPECT_EQ(spy.count(kHandleEntry, kDisposeHandleOp), 0u);
      holder.reset(PA_NewHandle(8));
      EXPECT_EQ(spy.count(kHandleEntry, kDisposeHandleOp), 1u);
      unique_handle moved(std::move(holder));
      EXPECT_FALSE(holder);
      HostHandle given = moved.release();
      EXPECT_FALSE(moved);
      PA_DisposeHandle(given);
    }
    EXPECT_EQ(spy.count(kHandleEntry, kDisposeHandleOp), 2u);
  });
}

TEST_F(ConversionTest, UniqueHandleLockKeepsTheBytesInPlaceForItsScope) {
  emu.run(1, [&] {
    unique_handle h(PA_NewHandle(3));
    {
      unique_handle_lock lock(h.get());
      ASSERT_NE(lock.data(), nullptr);
      std::memcpy(lock.data(), "xyz", 3);
      PA_Yield();
      EXPECT_EQ(lock.data(), *h.get());
    }
    EXPECT_EQ(handleBytes(h.get()), "xyz");
    unique_handle_lock none(nullptr);
    EXPECT_EQ(none.data(), nullptr);
  });
}

// ---- Handle copies --------------------------------------------------------------------------

TEST_F(ConversionTest, AppendToHandleAppendsAndAnswersTheNewSize) {
  emu.run(1, [&] {
    unique_handle h(PA_NewHandle(0));
    EXPECT_EQ(appendToHandle(h.get(), "abc", 3), 3);
    EXPECT_EQ(appendToHandle(h.get(), "defg", 4), 7);
    EXPECT_EQ(handleBytes(h.get()), "abcdefg");
    EXPECT_EQ(appendToHandle(h.get(), "x", 0), 7);
    EXPECT_EQ(appendToHandle(h.get(), "x", -5), 7) << "a negative count appends nothing";
    EXPECT_EQ(appendToHandle(h.get(), nullptr, 3), 0);
    EXPECT_EQ(appendToHandle(nullptr, "abc", 3), 0);
    EXPECT_EQ(handleBytes(h.get()), "abcdefg");
  });
}

TEST_F(ConversionTest, ARefusedGrowthWritesNothing) {
  emu.run(1, [&] {
    unique_handle h(PA_NewHandle(0));
    appendToHandle(h.get(), "abc", 3);
    emu.refuse(host::Refusal::GrowHandle);
    EXPECT_EQ(appendToHandle(h.get(), "defg", 4), 3);
    EXPECT_EQ(handleBytes(h.get()), "abc");
    unique_handle src(PA_NewHandle(0));
    appendToHandle(src.get(), "12345", 5);
    emu.refuse(host::Refusal::GrowHandle);
    EXPECT_EQ(copyToHandle(src.get(), h.get()), 0) << "emptied, then refused";
    EXPECT_EQ(PA_GetHandleSize(h.get()), 0);
  });
}

// A handle never grows past 2,147,483,647 bytes: the surplus is dropped.
TEST_F(ConversionTest, AppendToAHandleOf2147483640BytesAppendsSevenOfTen) {
  emu.run(1, [&] {
    unique_handle h(PA_NewHandle(2147483640));
    ASSERT_TRUE(h) << "the machine could not give the emulator 2 GB";
    (*h.get())[2147483639] = 'z';
    EXPECT_EQ(appendToHandle(h.get(), "0123456789", 10), kMaxLength);
    EXPECT_EQ(PA_GetHandleSize(h.get()), kMaxLength);
    EXPECT_EQ(std::string(*h.get() + 2147483639, 8), "z0123456");
    EXPECT_EQ(appendToHandle(h.get(), "more", 4), kMaxLength) << "a full handle takes nothing";
  });
}

TEST_F(ConversionTest, AppendingAHandleAppendsItsBytes) {
  emu.run(1, [&] {
    unique_handle dst(PA_NewHandle(0));
    unique_handle src(PA_NewHandle(0));
    appendToHandle(dst.get(), "ab", 2);
    appendToHandle(src.get(), "cde", 3);
    EXPECT_EQ(appendToHandle(dst.get(), src.get()), 5);
    EXPECT_EQ(handleBytes(dst.get()), "abcde");
    EXPECT_EQ(appendToHandle(dst.get(), dst.get()), 10) << "a handle appended to itself";
    EXPECT_EQ(handleBytes(dst.get()), "abcdeabcde");
    EXPECT_EQ(appendToHandle(nullptr, src.get()), 0);
  });
}

TEST_F(ConversionTest, AppendingAnEmptyHandleChangesNothing) {
  emu.run(1, [&] {
    unique_handle dst(PA_NewHandle(0));
    unique_handle empty(PA_NewHandle(0));
    appendToHandle(dst.get(), "ab", 2);
    HostSpy spy;
    EXPECT_EQ(appendToHandle(dst.get(), empty.get()), 2);
    EXPECT_EQ(appendToHandle(dst.get(), nullptr), 2);
    EXPECT_EQ(spy.count(kHandleEntry, kSetHandleSizeOp), 0u);
    EXPECT_EQ(handleBytes(dst.get()), "ab");
  });
}

TEST_F(ConversionTest, CopyToHandleReplacesTheContents) {
  emu.run(1, [&] {
    unique_handle dst(PA_NewHandle(0));
    unique_handle src(PA_NewHandle(0));
    appendToHandle(dst.get(), "old contents", 12);
    appendToHandle(src.get(), "new", 3);
    EXPECT_EQ(copyToHandle("bytes", 5, dst.get()), 5);
    EXPECT_EQ(handleBytes(dst.get()), "bytes");
    EXPECT_EQ(copyToHandle(src.get(), dst.get()), 3);
    EXPECT_EQ(handleBytes(dst.get()), "new");
    EXPECT_EQ(copyToHandle(dst.get(), dst.get()), 3) << "a handle copied onto itself keeps it";
    EXPECT_EQ(handleBytes(dst.get()), "new");
    EXPECT_EQ(copyToHandle(nullptr, 4, dst.get()), 0);
    EXPECT_EQ(PA_GetHandleSize(dst.get()), 0);
    appendToHandle(dst.get(), "x", 1);
    EXPECT_EQ(copyToHandle(nullptr, dst.get()), 0) << "a null source leaves it empty";
    EXPECT_EQ(PA_GetHandleSize(dst.get()), 0);
    EXPECT_EQ(copyToHandle("abc", 3, nullptr), 0);
  });
}

}  // namespace
}  // namespace zuvtest
