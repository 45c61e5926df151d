// The border with the host: the start-up record, the host-call pattern and its per-thread
// error, and the wrappers of handles, texts, processes, parameters and results, each seen
// through the emulator the way the host sees them.

#include <cstring>
#include <ctime>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "4DPluginAPI.h"
#include "emulator.h"
#include "support/plugin_test.h"

namespace zuvtest {
namespace {

using host::Direction;
using host::Kind;
using host::ParamSpec;

// The host's units are 16-bit numbers; u"" literals are char16_t.
const PA_Unichar* U(const char16_t* text) { return reinterpret_cast<const PA_Unichar*>(text); }

// ---- Start-up record ------------------------------------------------------------------------

struct VersionCase {
  uint32_t hostVersion;
  int32_t interfaceVersion;
};

TEST(EntryPointTest, InterfaceVersionFollowsTheLow16BitsOfTheHostVersion) {
  const VersionCase cases[] = {
      {5632, 5120},        // 0x1600 is not above the threshold
      {5633, 5648},        // 0x1601 is
      {0x1800, 5648},      //
      {0x10001600, 5120},  // high bits do not count
      {0xFFFF1601, 5648},  //
      {0, 5120},
  };
  for (const VersionCase& c : cases) {
    SCOPED_TRACE(c.hostVersion);
    host::Emulator emu(host::Options{.hostVersion = c.hostVersion});
    emu.attach(&FourDPackex);
    EXPECT_EQ(emu.startup(), c.interfaceVersion);
    EXPECT_EQ(g4DVersion, c.hostVersion) << "the version word is kept whole";
    emu.shutdown();
    EXPECT_TRUE(emu.faults().empty());
  }
}

TEST(EntryPointTest, SelectorMinus200TakesTheStartupRecordLikeMinus1) {
  host::Emulator emu(host::Options{.hostVersion = 0x20001633});
  emu.attach(&FourDPackex);
  EXPECT_EQ(emu.startupWithSelector(-200), 5648);
  EXPECT_EQ(g4DVersion, 0x20001633u);
  EXPECT_NE(gCall4D, nullptr);
  emu.shutdown();
  EXPECT_TRUE(emu.faults().empty());
}

TEST(EntryPointTest, OtherSelectorsLeaveTheRecordAndTheGlobalsAlone) {
  host::Emulator emu(host::Options{.hostVersion = 0x1801});
  emu.attach(&FourDPackex);
  emu.startup();
  HostCallback callback = gCall4D;
  unsigned char record[32];
  std::memset(record, 0x5A, sizeof record);
  for (int32_t selector : {0, 1, 21, 46, 101, 108, -3, -5}) {
    SCOPED_TRACE(selector);
    emu.run(1, [&] { FourDPackex(selector, record, nullptr, nullptr); });
    for (unsigned char byte : record) ASSERT_EQ(byte, 0x5A);
    EXPECT_EQ(gCall4D, callback);
    EXPECT_EQ(g4DVersion, 0x1801u);
  }
  emu.shutdown();
}

// ---- The host-call pattern ------------------------------------------------------------------

class HostCallTest : public PluginTest {};

TEST_F(HostCallTest, LastErrorBelongsToTheCallingThread) {
  emu.run(1, [] { EXPECT_EQ(PA_GetLastError(), 0) << "no host call made yet"; });
  emu.refuse(host::Refusal::NewHandle);
  emu.run(2, [] {
    EXPECT_EQ(PA_NewHandle(16), nullptr);
    EXPECT_EQ(PA_GetLastError(), host::error::kNoMemory);
  });
  emu.run(1, [] { EXPECT_EQ(PA_GetLastError(), 0) << "process 2's failure is its own"; });
  emu.run(2, [] {
    EXPECT_EQ(PA_GetLastError(), host::error::kNoMemory) << "kept until the next call";
    HostHandle h = PA_NewHandle(4);
    EXPECT_EQ(PA_GetLastError(), 0);
    PA_DisposeHandle(h);
  });
}

TEST_F(HostCallTest, DisposingNoHandleMakesNoCallAndClearsTheError) {
  emu.refuse(host::Refusal::NewHandle);
  emu.run(1, [&] {
    EXPECT_EQ(PA_NewHandle(1), nullptr);
    ASSERT_NE(PA_GetLastError(), 0);
    emu.resetTrace();
    PA_DisposeHandle(nullptr);
    EXPECT_EQ(PA_GetLastError(), 0);
    EXPECT_TRUE(emu.trace().empty());
  });
}

TEST_F(HostCallTest, AWrapperOfSeveralCallsEndsWithTheErrorOfItsLast) {
  // The copy path of a BLOB parameter: get size, set size, lock, lock, unlock, unlock, dispose.
  host::Frame frame =
      emu.makeFrame({{"b", Kind::Blob, Direction::InOut}}, {blob("old")}, Kind::None);
  emu.run(1, [&] {
    HostHandle h = PA_NewHandle(3);
    std::memcpy(*h, "new", 3);
    PluginBlock block{frame.parameters(), frame.result(), nullptr};
    PA_SetBlobHandleParameter(&block, 1, h);
    EXPECT_EQ(PA_GetLastError(), 0);
  });
  EXPECT_EQ(std::get<host::Blob>(frame.param(1)).bytes, "new");
}

TEST(HostCallBeforeStartupTest, WrappersActAsFailedCallsWithoutAHost) {
  // As before the host's first start-up call: no callback yet.
  HostCallback saved = std::exchange(gCall4D, nullptr);
  EXPECT_EQ(PA_NewHandle(10), nullptr);
  EXPECT_NE(PA_GetLastError(), 0);
  EXPECT_EQ(PA_GetHandleSize(nullptr), 0);
  EXPECT_EQ(PA_LockHandle(nullptr), nullptr);
  PA_Unistring text = PA_CreateUnistring(U(u"abc"));
  EXPECT_EQ(static_cast<const void*>(text.fString), nullptr);
  EXPECT_EQ(text.fLength, 0);
  EXPECT_NE(PA_CompareUnichars(U(u"a"), U(u"a"), 0, 1), 0) << "nothing matches without a host";
  char out[8];
  EXPECT_EQ(PA_ConvertCharsetToCharset("ab", 2, 7, out, 8, 2), 0);
  EXPECT_EQ(PA_CreatePicture("x", 1), nullptr);
  PA_Yield();
  delay(3);
  EXPECT_NE(PA_GetLastError(), 0);
  gCall4D = saved;
}

// ---- Handles, texts, processes --------------------------------------------------------------

TEST_F(HostCallTest, HandleOperationsKeepBytesAcrossResizes) {
  emu.run(1, [&] {
    HostHandle h = PA_NewHandle(4);
    ASSERT_NE(h, nullptr);
    std::memcpy(*h, "abcd", 4);
    ASSERT_TRUE(PA_SetHandleSize(h, 100000));
    EXPECT_EQ(PA_GetHandleSize(h), 100000);
    EXPECT_EQ(std::memcmp(*h, "abcd", 4), 0) << "the master pointer is read afresh";
    ASSERT_TRUE(PA_SetHandleSize(h, 2));
    char* locked = PA_LockHandle(h);
    EXPECT_EQ(std::memcmp(locked, "ab", 2), 0);
    PA_UnlockHandle(h);
    emu.refuse(host::Refusal::GrowHandle);
    EXPECT_FALSE(PA_SetHandleSize(h, 10)) << "a refused size answers false";
    EXPECT_EQ(PA_GetHandleSize(h), 2);
    PA_DisposeHandle(h);
  });
}

TEST_F(HostCallTest, TextsAreMadeReplacedAndDisposedThroughTheHost) {
  emu.run(1, [] {
    PA_Unistring text = PA_CreateUnistring(U(u"hello"));
    ASSERT_NE(static_cast<const void*>(text.fString), nullptr);
    EXPECT_EQ(text.fLength, 5);
    PA_SetUnistring(&text, U(u"a longer text"));
    EXPECT_EQ(text.fLength, 13);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(text.fString), text.fLength),
              u"a longer text");
    PA_SetUnistring(&text, nullptr);
    EXPECT_EQ(text.fLength, 0) << "a null address empties the text";
    PA_DisposeUnistring(&text);
    EXPECT_EQ(text.fLength, 0);
    EXPECT_EQ(static_cast<const void*>(text.fString), nullptr);
    for (unsigned char byte : text.fReserved) EXPECT_EQ(byte, 0);
  });
}

TEST_F(HostCallTest, CountedUnitsKeepTheirZeroUnits) {
  emu.run(1, [] {
    PA_Unistring text = PA_CreateUnistring(U(u"hello"));
    PA_SetUnistringUnits(&text, U(u"ab\0cd"), 5);
    EXPECT_EQ(PA_GetLastError(), 0);
    EXPECT_EQ(std::u16string(reinterpret_cast<char16_t*>(text.fString), text.fLength),
              std::u16string(u"ab\0cd", 5));
    PA_SetUnistring(&text, U(u"ab\0cd"));
    EXPECT_EQ(text.fLength, 2) << "without a count the text ends at its first zero unit";
    PA_DisposeUnistring(&text);
  });
}

TEST_F(HostCallTest, UnicharsLengthCountsUpToTheFirstZero) {
  const PA_Unichar inner[] = {'a', 'b', 0, 'c', 0};
  const PA_Unichar empty[] = {0, 'x', 0};
  EXPECT_EQ(PA_GetUnicharsLength(nullptr), 0);
  EXPECT_EQ(PA_GetUnicharsLength(empty), 0);
  EXPECT_EQ(PA_GetUnicharsLength(inner), 2);
}

TEST_F(HostCallTest, CompareMatchesAPatternEndingInTheWildcard) {
  emu.run(1, [] {
    EXPECT_EQ(PA_CompareUnichars(U(u".png;image/png"), U(u".png;@"), 0, 1), 0);
    EXPECT_EQ(PA_CompareUnichars(U(u".PNG;image/png"), U(u".png;@"), 0, 1), 0);
    EXPECT_NE(PA_CompareUnichars(U(u".gif;image/gif"), U(u".png;@"), 0, 1), 0);
    EXPECT_NE(PA_CompareUnichars(nullptr, U(u".png;@"), 0, 1), 0);
  });
}

TEST_F(HostCallTest, DelayYieldsOnceOrSleepsTheCurrentProcess) {
  struct Case {
    int32_t ticks;
    std::vector<int32_t> entries;
  };
  const Case cases[] = {{0, {-122}}, {-5, {-122}}, {6, {-91, -89}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ticks);
    emu.run(1, [&] {
      emu.resetTrace();
      delay(c.ticks);
      EXPECT_EQ(emu.trace(), c.entries);
    });
  }
}

TEST_F(HostCallTest, CurrentProcessNumberIsTheCallersOwn) {
  int32_t first = 0;
  int32_t second = 0;
  emu.run(1, [&] { first = PA_GetCurrentProcessNumber(); });
  emu.run(2, [&] { second = PA_GetCurrentProcessNumber(); });
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
}

TEST(TimeTest, AddSecondsCountsFromNowOrFromTheGivenTime) {
  time_t before = std::time(nullptr);
  time_t later = addSeconds(0, 30);
  time_t after = std::time(nullptr);
  EXPECT_GE(later, before + 30);
  EXPECT_LE(later, after + 30);
  EXPECT_EQ(addSeconds(1000, -10), 990);
}

// ---- Parameters and results -----------------------------------------------------------------

class ParameterTest : public PluginTest {
 protected:
  // Runs fn with a block over a frame of the given cells.
  template <typename Fn>
  host::Frame withBlock(const std::vector<ParamSpec>& specs, const std::vector<Value>& args,
                        Kind result, Fn fn) {
    host::Frame frame = emu.makeFrame(specs, args, result);
    emu.run(1, [&] {
      PluginBlock block{frame.parameters(), frame.result(), nullptr};
      fn(&block);
    });
    return frame;
  }
};

TEST_F(ParameterTest, ScalarCellsReadAndWriteTheirWidths) {
  host::Frame frame = withBlock({{"i", Kind::Integer, Direction::InOut},
                                 {"l", Kind::Longint, Direction::InOut},
                                 {"t", Kind::Time, Direction::InOut},
                                 {"d", Kind::Date, Direction::InOut}},
                                {num(-1), num(-2000000000), num(3600), Value{Date{31, 12, 1999}}},
                                Kind::None, [](PluginBlock* block) {
                                  EXPECT_EQ(PA_GetShortParameter(block, 1), -1) << "0xFFFF is -1";
                                  EXPECT_EQ(PA_GetLongParameter(block, 2), -2000000000);
                                  EXPECT_EQ(PA_GetTimeParameter(block, 3), 3600);
                                  int16_t day = 0;
                                  int16_t year = 0;
                                  PA_GetDateParameter(block, 4, &day, nullptr, &year);
                                  EXPECT_EQ(day, 31);
                                  EXPECT_EQ(year, 1999);
                                  PA_SetShortParameter(block, 1, 32767);
                                  PA_SetLongParameter(block, 2, 7);
                                  PA_SetTimeParameter(block, 3, 59);
                                  PA_SetDateParameter(block, 4, 1, 2, 2003);
                                });
  EXPECT_EQ(std::get<int64_t>(frame.param(1)), 32767);
  EXPECT_EQ(std::get<int64_t>(frame.param(2)), 7);
  EXPECT_EQ(std::get<int64_t>(frame.param(3)), 59);
  EXPECT_EQ(std::get<Date>(frame.param(4)), (Date{1, 2, 2003}));
}

TEST_F(ParameterTest, ReturnLongSignExtendsIntoAllOfTheResultArea) {
  host::Frame frame =
      withBlock({}, {}, Kind::Longint, [](PluginBlock* block) { PA_ReturnLong(block, -1); });
  uint64_t raw;
  std::memcpy(&raw, frame.result(), sizeof raw);
  EXPECT_EQ(raw, ~uint64_t{0});
  EXPECT_EQ(std::get<int64_t>(frame.resultValue()), -1);
}

TEST_F(ParameterTest, ReturnStringReplacesTheResultText) {
  host::Frame frame = withBlock({}, {}, Kind::Text, [](PluginBlock* block) {
    PA_ReturnString(block, U(u"first"));
    PA_ReturnString(block, U(u"second"));
  });
  EXPECT_EQ(std::get<Text>(frame.resultValue()), u"second");
  host::Frame empty = withBlock({}, {}, Kind::Text, [](PluginBlock* block) {
    const PA_Unichar zero[] = {0};
    PA_ReturnString(block, U(u"gone"));
    PA_ReturnString(block, zero);
  });
  EXPECT_EQ(std::get<Text>(empty.resultValue()), u"");
}

TEST_F(ParameterTest, TextParameterIsTheHostsRecordInPlace) {
  host::Frame frame = withBlock({{"t", Kind::Text, Direction::InOut}}, {txt("in place")},
                                Kind::None, [](PluginBlock* block) {
                                  PA_Unistring* text = PA_GetStringParameter(block, 1);
                                  EXPECT_EQ(text->fLength, 8);
                                  EXPECT_EQ(text->fString[text->fLength], 0);
                                  PA_SetUnistring(text, U(u"changed"));
                                });
  EXPECT_EQ(std::get<Text>(frame.param(1)), u"changed");
}

// The three paths of giving a BLOB parameter a handle.
TEST_F(ParameterTest, BlobParameterTakesTheHandleWhenItHasNone) {
  host::Frame frame = withBlock({{"b", Kind::Blob, Direction::InOut}}, {noHandleBlob()}, Kind::None,
                                [&](PluginBlock* block) {
                                  HostHandle h = PA_NewHandle(2);
                                  std::memcpy(*h, "hi", 2);
                                  emu.resetTrace();
                                  PA_SetBlobHandleParameter(block, 1, h);
                                  EXPECT_TRUE(emu.trace().empty()) << "a store, no host call";
                                  EXPECT_EQ(PA_GetBlobHandleParameter(block, 1), h);
                                });
  EXPECT_EQ(std::get<Blob>(frame.param(1)), (Blob{true, "hi"}));
}

TEST_F(ParameterTest, BlobParameterGivenItsOwnHandleChangesNothing) {
  withBlock({{"b", Kind::Blob, Direction::InOut}}, {blob("same")}, Kind::None,
            [&](PluginBlock* block) {
              HostHandle own = PA_GetBlobHandleParameter(block, 1);
              emu.resetTrace();
              PA_SetBlobHandleParameter(block, 1, own);
              EXPECT_TRUE(emu.trace().empty());
              EXPECT_EQ(*PA_GetBlobHandlePtrParameter(block, 1), own);
            });
}

TEST_F(ParameterTest, BlobParameterWithAHandleReceivesTheBytesAndKeepsItsHandle) {
  struct Case {
    const char* name;
    bool nullHandle;
    Bytes given;
  };
  const Case cases[] = {
      {"null handle empties the cell's handle", true, ""},
      {"empty handle empties it and is disposed", false, ""},
      {"bytes are copied and the handle disposed", false, "copied bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HostHandle own = nullptr;
    host::Frame frame = withBlock({{"b", Kind::Blob, Direction::InOut}}, {blob("old bytes")},
                                  Kind::None, [&](PluginBlock* block) {
                                    own = PA_GetBlobHandleParameter(block, 1);
                                    HostHandle h = nullptr;
                                    if (!c.nullHandle) {
                                      h = PA_NewHandle(static_cast<int32_t>(c.given.size()));
                                      std::memcpy(*h, c.given.data(), c.given.size());
                                    }
                                    PA_SetBlobHandleParameter(block, 1, h);
                                    EXPECT_EQ(PA_GetBlobHandleParameter(block, 1), own);
                                  });
    EXPECT_EQ(std::get<Blob>(frame.param(1)), (Blob{true, c.given}));
    EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
  }
}

TEST_F(ParameterTest, BlobParameterKeepsItsBytesWhenTheHostRefusesToGrowIt) {
  host::Frame frame = withBlock({{"b", Kind::Blob, Direction::InOut}}, {blob("old")}, Kind::None,
                                [&](PluginBlock* block) {
                                  HostHandle h = PA_NewHandle(64);
                                  std::memset(*h, 'x', 64);
                                  emu.refuse(host::Refusal::GrowHandle);
                                  PA_SetBlobHandleParameter(block, 1, h);
                                });
  EXPECT_EQ(std::get<Blob>(frame.param(1)).bytes, "old");
}

TEST_F(ParameterTest, PictureAndBlobResultsPassToTheHost) {
  host::Frame frame = withBlock({}, {}, Kind::Blob, [](PluginBlock* block) {
    HostHandle h = PA_NewHandle(3);
    std::memcpy(*h, "abc", 3);
    PA_ReturnBlobHandle(block, h);
  });
  EXPECT_EQ(std::get<Blob>(frame.resultValue()), (Blob{true, "abc"}));
  host::Frame picture = withBlock({}, {}, Kind::Picture, [](PluginBlock* block) {
    PA_ReturnPicture(block, PA_CreatePicture("GIF89a....", 10));
  });
  Picture value = std::get<Picture>(picture.resultValue());
  ASSERT_EQ(value.formats.size(), 1u);
  EXPECT_EQ(value.formats[0].type, ".gif;image/gif");
}

}  // namespace
}  // namespace zuvtest
