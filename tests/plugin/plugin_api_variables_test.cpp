// Host variables, arrays and host commands: the records PA_CreateVariable makes for every kind,
// the array accessors' bounds, resizes that release what they drop (text, picture, BLOB, object
// and sub-array elements) and refusals that keep the count, the two ways of running a host
// command and where their errors go, and PA_CreateObject by host version.

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "4DPluginAPI.h"
#include "support/host_spy.h"
#include "support/plugin_test.h"

namespace zuvtest {
namespace {

constexpr int32_t kClearEntry = -410;
constexpr int32_t kDisposeTextEntry = -614;
constexpr int32_t kDisposePictureEntry = -620;
constexpr int32_t kCommandEntry = -636;
constexpr int32_t kCompiledEntry = -56;
constexpr int32_t kOpenDocumentCommand = 264;

template <typename T>
T field(const PA_Variable& variable, size_t offset) {
  T value;
  std::memcpy(&value, reinterpret_cast<const unsigned char*>(&variable) + offset, sizeof value);
  return value;
}

int32_t countOf(const PA_Variable& array) { return field<int32_t>(array, kArrayCountOffset); }
HostHandle storageOf(const PA_Variable& array) {
  return field<HostHandle>(array, kArrayStorageOffset);
}

template <typename T>
T element(const PA_Variable& array, int index) {
  T value;
  std::memcpy(&value, *storageOf(array) + index * sizeof(T), sizeof value);
  return value;
}

bool zeroFrom(const PA_Variable& variable, size_t offset) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&variable);
  for (size_t i = offset; i < sizeof variable; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

PA_Unistring makeText(const std::u16string& text) {
  return PA_CreateUnistring(reinterpret_cast<const PA_Unichar*>(text.c_str()));
}

std::u16string textOf(const PA_Unistring& text) {
  if (text.fString == nullptr) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(text.fString), text.fLength);
}

class VariablesTest : public PluginTest {};

// ---- PA_CreateVariable ----------------------------------------------------------------------

TEST_F(VariablesTest, PlainKindsAreMadeZeroAndEveryUnusedByteIsZero) {
  emu.run(1, [&] {
    const PA_VariableKind kinds[] = {1, 4, 5, 6, 8, 9, 11, 13, 20, 38, 42, -1};
    for (PA_VariableKind kind : kinds) {
      SCOPED_TRACE(int(kind));
      PA_Variable variable = PA_CreateVariable(kind);
      EXPECT_EQ(variable.fType, kind);
      EXPECT_EQ(variable.fFiller, 0);
      EXPECT_TRUE(zeroFrom(variable, 2));
    }
  });
}

TEST_F(VariablesTest, TextPictureAndBlobKindsHoldEmptyValuesThatClearingReleases) {
  emu.run(1, [&] {
    const struct {
      PA_VariableKind asked;
      PA_VariableKind made;
    } cases[] = {{2, 33}, {33, 33}, {3, 10}, {10, 10}, {30, 30}};
    for (const auto& c : cases) {
      SCOPED_TRACE(int(c.asked));
      PA_Variable variable = PA_CreateVariable(c.asked);
      EXPECT_EQ(variable.fType, c.made);
      if (c.made == kVariableText) {
        PA_Unistring text = field<PA_Unistring>(variable, kVariableValueOffset);
        EXPECT_EQ(+text.fLength, 0);
        EXPECT_NE(static_cast<const void*>(text.fString), nullptr);
      } else if (c.made == kVariablePicture) {
        EXPECT_NE(field<HostPicture>(variable, kVariableValueOffset), nullptr);
      } else {
        EXPECT_EQ(field<int32_t>(variable, kBlobVariableSizeOffset), 0);
        HostHandle h = field<HostHandle>(variable, kBlobVariableHandleOffset);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(PA_GetHandleSize(h), 0);
      }
      PA_ClearVariable(&variable);
    }
  });
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

struct ArrayCase {
  PA_VariableKind asked;
  PA_VariableKind made;
  int32_t storage;
};

TEST_F(VariablesTest, ArraysStartWithCountZeroAndElementZero) {
  const ArrayCase cases[] = {{14, 14, 8},  {15, 15, 2},  {16, 16, 4}, {17, 17, 6},
                             {18, 34, 20}, {19, 19, 8},  {22, 22, 2}, {31, 31, 12},
                             {32, 32, 4},  {34, 34, 20}, {39, 39, 8}};
  emu.run(1, [&] {
    for (const ArrayCase& c : cases) {
      SCOPED_TRACE(int(c.asked));
      PA_Variable array = PA_CreateVariable(c.asked);
      EXPECT_EQ(array.fType, c.made);
      EXPECT_EQ(PA_GetArrayNbElements(array), 0);
      EXPECT_EQ(field<int16_t>(array, kArrayCurrentOffset), 0);
      ASSERT_NE(storageOf(array), nullptr);
      EXPECT_EQ(PA_GetHandleSize(storageOf(array)), c.storage);
      if (c.made == kVariableTextArray) {
        PA_Unistring first = element<PA_Unistring>(array, 0);
        EXPECT_NE(static_cast<const void*>(first.fString), nullptr) << "an empty host text";
        EXPECT_EQ(+first.fLength, 0);
      } else if (c.made == kVariablePictureArray || c.made == kVariableObjectArray) {
        EXPECT_NE(element<void*>(array, 0), nullptr);
      } else {
        std::vector<char> zeros(static_cast<size_t>(c.storage), 0);
        EXPECT_EQ(std::memcmp(*storageOf(array), zeros.data(), zeros.size()), 0);
      }
      PA_ClearVariable(&array);
    }
  });
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

TEST_F(VariablesTest, SettersWriteKindAndValueWithoutCallingTheHost) {
  emu.run(1, [&] {
    HostSpy spy;
    PA_Variable variable;
    std::memset(&variable, 0x5A, sizeof variable);
    PA_SetLongintVariable(&variable, -7);
    EXPECT_EQ(variable.fType, kVariableLongint);
    EXPECT_EQ(variable.fFiller, 0);
    EXPECT_EQ(field<int32_t>(variable, 2), -7);
    PA_SetTimeVariable(&variable, 3600);
    EXPECT_EQ(PA_GetTimeVariable(variable), 3600);
    PA_SetPictureVariable(&variable, reinterpret_cast<HostPicture>(0x1234));
    EXPECT_EQ(variable.fType, kVariablePicture);
    EXPECT_EQ(PA_GetTimeVariable(variable), 0) << "no time kind";
    PA_Unistring text{5, nullptr, {}};
    PA_SetStringVariable(&variable, &text);
    EXPECT_EQ(variable.fType, kVariableText);
    EXPECT_EQ(field<int32_t>(variable, 2), 5);
    EXPECT_TRUE(spy.calls(kCommandEntry).empty());
    EXPECT_EQ(spy.count(kClearEntry), 0u);
  });
}

// Bit 27 answers for a flag whose low byte is 0, bit 23 for any other: the host answers one bit
// alone so that reading the wrong one shows.
TEST_F(VariablesTest, IsCompiledReadsTheBitTheFlagNames) {
  const struct {
    int64_t flags;
    bool plain;
    bool withFlag;
  } cases[] = {{0, false, false},
               {int64_t{1} << 27, true, false},
               {int64_t{1} << 23, false, true},
               {(int64_t{1} << 27) | (int64_t{1} << 23), true, true}};
  for (const auto& c : cases) {
    emu.setCompiledFlags(c.flags);
    emu.run(1, [&] {
      HostSpy spy;
      EXPECT_EQ(PA_IsCompiled(0), c.plain) << c.flags;
      ASSERT_EQ(spy.count(kCompiledEntry), 1u);
      EXPECT_EQ(spy.calls(kCompiledEntry)[0].in.param3, 0x46415354);
      EXPECT_EQ(PA_IsCompiled(0x100), c.plain) << "only the low byte of the flag counts";
      EXPECT_EQ(PA_IsCompiled(1), c.withFlag) << c.flags;
      EXPECT_EQ(PA_IsCompiled(0x7F), c.withFlag) << c.flags;
    });
  }
  emu.setCompiled(true);
  emu.run(1, [&] { EXPECT_TRUE(PA_IsCompiled(0) && PA_IsCompiled(1)); });
}

// ---- Array accessors ------------------------------------------------------------------------

TEST_F(VariablesTest, ElementCountIsMinusOneForAKindThatIsNoArray) {
  emu.run(1, [&] {
    PA_Variable longint;
    PA_SetLongintVariable(&longint, 3);
    EXPECT_EQ(PA_GetArrayNbElements(longint), -1);
    PA_Variable texts = PA_CreateVariable(kVariableTextArray);
    PA_ResizeArray(&texts, 3);
    EXPECT_EQ(PA_GetArrayNbElements(texts), 3);
    PA_ClearVariable(&texts);
  });
}

TEST_F(VariablesTest, LongintAccessorsReachElementsZeroToCountOnly) {
  emu.run(1, [&] {
    for (PA_VariableKind kind : {kVariableLongintArray, kVariableLongintArray32}) {
      PA_Variable array = PA_CreateVariable(kind);
      PA_ResizeArray(&array, 3);
      for (int32_t i = -1; i <= 4; ++i) PA_SetLongintInArray(array, i, 100 + i);
      const struct {
        int32_t index;
        int32_t value;
      } cases[] = {{-1, 0}, {0, 100}, {1, 101}, {3, 103}, {4, 0}};
      for (const auto& c : cases) {
        SCOPED_TRACE(c.index);
        EXPECT_EQ(PA_GetLongintInArray(array, c.index), c.value);
      }
      EXPECT_EQ(PA_GetHandleSize(storageOf(array)), 16) << "nothing written past element 3";
      PA_ClearVariable(&array);
    }
  });
}

TEST_F(VariablesTest, AccessorsIgnoreAWrongKindAndANullStorage) {
  emu.run(1, [&] {
    PA_Variable integers = PA_CreateVariable(kVariableIntegerArray);
    PA_ResizeArray(&integers, 2);
    PA_SetIntegerInArray(integers, 2, -2);
    PA_SetLongintInArray(integers, 1, 77);  // wrong kind: ignored
    EXPECT_EQ(element<int16_t>(integers, 2), -2);
    EXPECT_EQ(element<int16_t>(integers, 1), 0);
    EXPECT_EQ(PA_GetLongintInArray(integers, 1), 0);
    PA_ClearVariable(&integers);

    PA_Variable empty;
    std::memset(&empty, 0, sizeof empty);
    empty.fType = kVariableLongintArray;
    std::memcpy(reinterpret_cast<unsigned char*>(&empty) + kArrayCountOffset, "\x05\0\0\0", 4);
    EXPECT_EQ(PA_GetLongintInArray(empty, 1), 0);
    PA_SetLongintInArray(empty, 1, 5);
    PA_ResizeArray(&empty, 9);
    EXPECT_EQ(countOf(empty), 5) << "no storage: nothing happens";
  });
}

TEST_F(VariablesTest, SetStringInArrayReleasesTheOldTextAndTakesTheNewOne) {
  emu.run(1, [&] {
    PA_Variable texts = PA_CreateVariable(kVariableTextArray);
    PA_ResizeArray(&texts, 2);
    PA_Unistring first = makeText(u"first");
    PA_SetStringInArray(texts, 1, &first);
    PA_Unistring second = makeText(u"second");
    HostSpy spy;
    PA_SetStringInArray(texts, 1, &second);
    EXPECT_EQ(spy.count(kDisposeTextEntry), 1u);
    EXPECT_EQ(textOf(element<PA_Unistring>(texts, 1)), u"second");
    PA_SetStringInArray(texts, 1, nullptr);
    EXPECT_EQ(textOf(element<PA_Unistring>(texts, 1)), u"second") << "a null text changes nothing";
    PA_Unistring spare = makeText(u"spare");
    PA_SetStringInArray(texts, 3, &spare);  // beyond the count: not taken
    PA_DisposeUnistring(&spare);
    PA_ClearVariable(&texts);
  });
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

// ---- PA_ResizeArray -------------------------------------------------------------------------

TEST_F(VariablesTest, ResizingToTheCountOrBelowZeroMakesNoHostCall) {
  emu.run(1, [&] {
    PA_Variable array = PA_CreateVariable(kVariableLongintArray);
    PA_ResizeArray(&array, 2);
    HostSpy spy;
    PA_ResizeArray(&array, 2);
    PA_ResizeArray(&array, -1);
    PA_ResizeArray(nullptr, 4);
    PA_Variable longint;
    PA_SetLongintVariable(&longint, 1);
    PA_ResizeArray(&longint, 4);
    EXPECT_EQ(spy.count(kHandleEntry), 0u);
    EXPECT_EQ(countOf(array), 2);
    PA_ClearVariable(&array);
  });
}

TEST_F(VariablesTest, ShrinkingATextArrayReleasesTheDroppedTextsAndGrowingAddsEmptyOnes) {
  emu.run(1, [&] {
    PA_Variable texts = PA_CreateVariable(kVariableTextArray);
    PA_ResizeArray(&texts, 3);
    for (int i = 1; i <= 3; ++i) {
      PA_Unistring text = makeText(u"element " + std::u16string(1, char16_t(u'0' + i)));
      PA_SetStringInArray(texts, i, &text);
    }
    HostSpy spy;
    PA_ResizeArray(&texts, 1);
    EXPECT_EQ(spy.count(kDisposeTextEntry), 2u);
    EXPECT_EQ(countOf(texts), 1);
    EXPECT_EQ(PA_GetHandleSize(storageOf(texts)), 40);
    EXPECT_EQ(textOf(element<PA_Unistring>(texts, 1)), u"element 1");
    PA_ResizeArray(&texts, 3);
    EXPECT_EQ(countOf(texts), 3);
    for (int i = 2; i <= 3; ++i) {
      PA_Unistring added = element<PA_Unistring>(texts, i);
      EXPECT_EQ(+added.fLength, 0);
      EXPECT_EQ(static_cast<const void*>(added.fString), nullptr);
    }
    PA_ClearVariable(&texts);
  });
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

TEST_F(VariablesTest, BitArraysHoldOneBitPerElement) {
  const struct {
    int32_t from;
    int32_t to;
    int32_t bytesBefore;
    int32_t bytesAfter;
  } cases[] = {{7, 8, 1, 2}, {3, 5, 1, 1}, {0, 16, 1, 3}, {16, 7, 3, 1}};
  emu.run(1, [&] {
    for (const auto& c : cases) {
      SCOPED_TRACE(c.from);
      PA_Variable bits = PA_CreateVariable(kVariableBooleanArray);
      if (c.from != 0) PA_ResizeArray(&bits, c.from);
      if (c.from != 0) {
        EXPECT_EQ(PA_GetHandleSize(storageOf(bits)), c.bytesBefore);
      }
      PA_ResizeArray(&bits, c.to);
      EXPECT_EQ(PA_GetHandleSize(storageOf(bits)), c.bytesAfter);
      EXPECT_EQ(countOf(bits), c.to);
      PA_ClearVariable(&bits);
    }
  });
}

TEST_F(VariablesTest, ARefusedGrowthKeepsTheCountAndARefusedShrinkCannotHappen) {
  emu.run(1, [&] {
    PA_Variable array = PA_CreateVariable(kVariableLongintArray);
    PA_ResizeArray(&array, 2);
    PA_SetLongintInArray(array, 2, 42);
    emu.refuse(host::Refusal::GrowHandle);
    PA_ResizeArray(&array, 100);
    EXPECT_EQ(countOf(array), 2);
    EXPECT_EQ(PA_GetHandleSize(storageOf(array)), 12);
    EXPECT_EQ(PA_GetLongintInArray(array, 2), 42);
    PA_ClearVariable(&array);
  });
}

TEST_F(VariablesTest, AStoragePast2GBIsRefusedBeforeTheHostIsAsked) {
  emu.run(1, [&] {
    PA_Variable texts = PA_CreateVariable(kVariableTextArray);
    HostSpy spy;
    PA_ResizeArray(&texts, 200000000);  // 20 bytes each: 4 GB
    EXPECT_EQ(spy.count(kHandleEntry), 0u);
    EXPECT_EQ(countOf(texts), 0);
    PA_ClearVariable(&texts);
  });
}

TEST_F(VariablesTest, ShrinkingReleasesPicturesBlobsAndObjects) {
  emu.run(1, [&] {
    PA_Variable pictures = PA_CreateVariable(kVariablePictureArray);
    PA_ResizeArray(&pictures, 2);
    HostPicture picture = PA_CreatePicture("GIF89a", 6);
    std::memcpy(*storageOf(pictures) + 2 * sizeof picture, &picture, sizeof picture);
    PA_Variable blobs = PA_CreateVariable(kVariableBlobArray);
    PA_ResizeArray(&blobs, 2);
    HostHandle blob = PA_NewHandle(5);
    std::memcpy(*storageOf(blobs) + 2 * 12 + 4, &blob, sizeof blob);
    PA_Variable objects = PA_CreateVariable(kVariableObjectArray);
    PA_ResizeArray(&objects, 2);
    PA_ObjectRef object = PA_CreateObject();
    ASSERT_NE(object, nullptr);
    std::memcpy(*storageOf(objects) + 2 * sizeof object, &object, sizeof object);

    HostSpy spy;
    PA_ResizeArray(&pictures, 0);
    PA_ResizeArray(&blobs, 0);
    PA_ResizeArray(&objects, 0);
    EXPECT_EQ(spy.count(kDisposePictureEntry), 1u) << "only the element with a picture";
    EXPECT_EQ(spy.count(kHandleEntry, kDisposeHandleOp), 1u) << "only the element with a handle";
    EXPECT_EQ(spy.count(kClearEntry), 1u) << "only the element with an object";
    PA_ClearVariable(&pictures);
    PA_ClearVariable(&blobs);
    PA_ClearVariable(&objects);
  });
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

// An array of arrays whose element 0 is a record of kind 18 grows by sub-arrays of kind 34, and
// shrinking clears them again.
TEST_F(VariablesTest, AnArrayOfArraysGrowsBySubArraysOfItsFirstElementsKind) {
  emu.run(1, [&] {
    PA_Variable outer = PA_CreateVariable(kVariableArrayOfArrays);
    EXPECT_EQ(storageOf(outer), nullptr);
    HostHandle storage = PA_NewHandle(16);
    std::memset(*storage, 0, 16);
    (*storage)[0] = 18;
    std::memcpy(reinterpret_cast<unsigned char*>(&outer) + kArrayStorageOffset, &storage,
                sizeof storage);
    PA_ResizeArray(&outer, 2);
    ASSERT_EQ(countOf(outer), 2);
    EXPECT_EQ(PA_GetHandleSize(storage), 48);
    for (int i = 1; i <= 2; ++i) {
      PA_Variable head;
      std::memset(&head, 0, sizeof head);
      std::memcpy(&head, *storage + 16 * i, 16);
      EXPECT_EQ(head.fType, kVariableTextArray);
      EXPECT_EQ(PA_GetArrayNbElements(head), 0);
      EXPECT_NE(storageOf(head), nullptr);
    }
    HostSpy spy;
    PA_ResizeArray(&outer, 0);
    EXPECT_EQ(spy.count(kClearEntry), 2u);
    PA_DisposeHandle(storage);
  });
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

// A sub-array head can only hold an array: a first element of a plain kind makes zero heads.
TEST_F(VariablesTest, AnArrayOfArraysOfAPlainKindGrowsByZeroHeads) {
  emu.run(1, [&] {
    PA_Variable outer = PA_CreateVariable(kVariableArrayOfArrays);
    HostHandle storage = PA_NewHandle(16);
    std::memset(*storage, 0, 16);
    (*storage)[0] = 2;  // would be a text, which 16 bytes cannot hold
    std::memcpy(reinterpret_cast<unsigned char*>(&outer) + kArrayStorageOffset, &storage,
                sizeof storage);
    PA_ResizeArray(&outer, 1);
    std::vector<char> zeros(16, 0);
    EXPECT_EQ(std::memcmp(*storage + 16, zeros.data(), 16), 0);
    PA_DisposeHandle(storage);
  });
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

// ---- Host commands --------------------------------------------------------------------------

class HostCommandTest : public PluginTest {
 protected:
  void SetUp() override {
    PluginTest::SetUp();
    char pattern[] = "/tmp/zuv-document-XXXXXX";
    int fd = ::mkstemp(pattern);
    ASSERT_GE(fd, 0);
    ::close(fd);
    document = pattern;
  }
  void TearDown() override {
    emu.closeDocuments();
    ::unlink(document.c_str());
    PluginTest::TearDown();
  }
  std::string document;
};

TEST_F(HostCommandTest, ExecuteCommandHandsTheAnswerToTheCallerAndLeavesTheLastErrorAlone) {
  emu.run(1, [&] {
    const std::u16string path(document.begin(), document.end());
    PA_Unistring name = makeText(path);
    PA_Unistring any = makeText(u"*");
    PA_Variable args[3];
    PA_SetStringVariable(&args[0], &name);
    PA_SetStringVariable(&args[1], &any);
    PA_SetLongintVariable(&args[2], 2);
    PA_Variable* pointers[3] = {&args[0], &args[1], &args[2]};
    PA_Variable result;
    setLastError(123);
    HostSpy spy;
    EXPECT_EQ(executeCommand(kOpenDocumentCommand, pointers, 3, &result), 0);
    EXPECT_EQ(PA_GetLastError(), 123);
    EXPECT_EQ(result.fType, kVariableTime);
    EXPECT_GT(PA_GetTimeVariable(result), 0);
    EXPECT_EQ(spy.count(kClearEntry), 0u) << "the caller owns the answer";
    const RecordedCall call = spy.calls(kCommandEntry).at(0);
    EXPECT_EQ(call.in.param1, kOpenDocumentCommand);
    EXPECT_EQ(call.in.param2, 3);
    EXPECT_EQ(call.in.pointer1, static_cast<void*>(pointers));
    PA_ClearVariable(&result);
    PA_DisposeUnistring(&name);
    PA_DisposeUnistring(&any);
  });
}

TEST_F(HostCommandTest, ExecuteCommandWithoutResultClearsTheAnswerAndReturnsTheError) {
  emu.run(1, [&] {
    PA_Unistring name = makeText(u"/no/such/folder/file");
    PA_Unistring any = makeText(u"*");
    PA_Variable args[3];
    PA_SetStringVariable(&args[0], &name);
    PA_SetStringVariable(&args[1], &any);
    PA_SetLongintVariable(&args[2], 2);
    PA_Variable* pointers[3] = {&args[0], &args[1], &args[2]};
    HostSpy spy;
    EXPECT_NE(executeCommand(kOpenDocumentCommand, pointers, 3, nullptr), 0);
    EXPECT_EQ(spy.count(kClearEntry), 1u);
    EXPECT_EQ(PA_GetLastError(), 0) << "only the clear set the last error";
    EXPECT_NE(executeCommand(-12345, nullptr, 0, nullptr), 0) << "an unknown command";
    PA_DisposeUnistring(&name);
    PA_DisposeUnistring(&any);
  });
}

TEST_F(HostCommandTest, ExecuteCommandByIdMakesAndDisposesTheAddressHandleAndKeepsTheError) {
  emu.run(1, [&] {
    HostSpy spy;
    PA_Variable answer = PA_ExecuteCommandByID(1471, nullptr, 0);
    std::vector<RecordedCall> made = spy.calls(kHandleEntry, kNewHandleOp);
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made[0].in.param2, 0);
    EXPECT_EQ(spy.count(kHandleEntry, kDisposeHandleOp), 1u);
    EXPECT_EQ(answer.fType, kVariableObject);
    EXPECT_EQ(PA_GetLastError(), 0);
    PA_ClearVariable(&answer);

    PA_Variable unknown = PA_ExecuteCommandByID(-12345, nullptr, 0);
    EXPECT_NE(PA_GetLastError(), 0) << "the command's error, not the dispose's";
    if (unknown.fType != kVariableUndefined) PA_ClearVariable(&unknown);
  });
}

TEST_F(HostCommandTest, AnAnswerInTheHostsOwnTextFormComesBackAsAText) {
  emu.run(1, [&] {
    PA_Unistring text = makeText(u"in the host's form");
    PA_Variable argument;
    PA_SetStringVariable(&argument, &text);
    HostSpy spy;
    PA_Variable answer =
        PA_ExecuteCommandByID(static_cast<int32_t>(host::hostcommand::kHostFormText), &argument, 1);
    EXPECT_EQ(spy.count(-615), 1u);
    EXPECT_EQ(spy.count(kClearEntry), 1u) << "the host's form is cleared";
    EXPECT_EQ(answer.fType, kVariableText);
    EXPECT_EQ(textOf(field<PA_Unistring>(answer, kVariableValueOffset)), u"in the host's form");
    PA_ClearVariable(&answer);
    PA_DisposeUnistring(&text);
  });
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
}

TEST_F(HostCommandTest, ExecuteCommandByIdWithoutMemoryRunsNothing) {
  emu.run(1, [&] {
    emu.refuse(host::Refusal::NewHandle);
    HostSpy spy;
    PA_Variable answer = PA_ExecuteCommandByID(1471, nullptr, 0);
    EXPECT_EQ(answer.fType, kVariableUndefined);
    EXPECT_TRUE(zeroFrom(answer, 0));
    EXPECT_EQ(spy.count(kCommandEntry), 0u);
  });
}

struct ObjectCase {
  uint32_t hostVersion;
  int32_t command;  // 0: none
};

TEST_F(HostCommandTest, CreateObjectChoosesTheCommandByHostVersion) {
  const ObjectCase cases[] = {{0x13FF, 0},    {0x113FF, 0},   {0x1400, 1218},   {0x162F, 1218},
                              {0x1630, 1471}, {0x1800, 1471}, {0x2001400, 1218}};
  for (const ObjectCase& c : cases) {
    SCOPED_TRACE(c.hostVersion);
    emu.shutdown();
    emu.setHostVersion(c.hostVersion);
    emu.startup();
    emu.run(1, [&] {
      HostSpy spy;
      PA_ObjectRef object = PA_CreateObject();
      std::vector<RecordedCall> commands = spy.calls(kCommandEntry);
      if (c.command == 0) {
        EXPECT_EQ(object, nullptr);
        EXPECT_EQ(spy.calls(kHandleEntry).size() + commands.size(), 0u) << "no host call";
        return;
      }
      ASSERT_NE(object, nullptr);
      ASSERT_EQ(commands.size(), 1u);
      EXPECT_EQ(commands[0].in.param1, c.command);
      EXPECT_EQ(commands[0].in.param2, c.command == 1218 ? 2 : 0);
      PA_Variable holder;
      std::memset(&holder, 0, sizeof holder);
      holder.fType = kVariableObject;
      std::memcpy(reinterpret_cast<unsigned char*>(&holder) + 2, &object, sizeof object);
      PA_ClearVariable(&holder);
    });
    EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
  }
}

}  // namespace
}  // namespace zuvtest
