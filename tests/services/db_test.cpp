// ZUV_Record2Blob and ZUV_Blob2Record through the emulator's record tables: the image of a
// table's current record into a BLOB with or without a handle, back into the table, the host's
// codes passed through with their sign, and the host refusing a handle or a copy.

#include <gtest/gtest.h>

#include "support/plugin_test.h"

namespace zuvtest {
namespace {

class RecordTest : public PluginTest {
 protected:
  // The image the emulator makes of a record of `table`: "4DRC", the table number (16 bits,
  // little-endian), the fields.
  static Bytes imageOf(int16_t table, const Bytes& fields) {
    return "4DRC" + Bytes(reinterpret_cast<const char*>(&table), 2) + fields;
  }
};

TEST_F(RecordTest, RecordReplacesTheBlobsBytesAndKeepsItsHandle) {
  emu.setCurrentRecord(1, "name=Ada");
  Outcome out = run("ZUV_Record2Blob", {num(1), blob("older and longer bytes")});
  EXPECT_EQ(out.number(), 0);
  EXPECT_EQ(out.blob(2), (Blob{true, imageOf(1, "name=Ada")}));
}

TEST_F(RecordTest, RecordIntoABlobWithoutHandleGivesItTheHostsHandle) {
  emu.setCurrentRecord(3, "x");
  Outcome out = run("ZUV_Record2Blob", {num(3), noHandleBlob()});
  EXPECT_EQ(out.number(), 0);
  EXPECT_EQ(out.blob(2), (Blob{true, imageOf(3, "x")}));
}

TEST_F(RecordTest, TableNumberReachesTheHostAsItsLow16Bits) {
  emu.setCurrentRecord(1, "one");
  emu.setCurrentRecord(-1, "minus one");
  EXPECT_EQ(run("ZUV_Record2Blob", {num(65537), blob("")}).blob(2).bytes, imageOf(1, "one"));
  EXPECT_EQ(run("ZUV_Record2Blob", {num(65535), blob("")}).blob(2).bytes, imageOf(-1, "minus one"));
  EXPECT_EQ(run("ZUV_Blob2Record", {blob(imageOf(1, "new")), num(65537)}).number(), 0);
  EXPECT_EQ(emu.currentRecord(1), Bytes("new"));
}

TEST_F(RecordTest, NoCurrentRecordAnswersTheHostsNegativeCode) {
  Outcome filled = run("ZUV_Record2Blob", {num(7), blob("bytes")});
  EXPECT_EQ(filled.number(), host::error::kNoCurrentRecord);
  EXPECT_EQ(filled.blob(2), (Blob{true, ""}));
  Outcome withoutHandle = run("ZUV_Record2Blob", {num(7), noHandleBlob()});
  EXPECT_EQ(withoutHandle.number(), host::error::kNoCurrentRecord);
  EXPECT_FALSE(withoutHandle.blob(2).hasHandle);
}

TEST_F(RecordTest, RefusedHandleOrCopyAnswersNoMemory) {
  emu.setCurrentRecord(2, "fields");
  emu.refuse(host::Refusal::NewHandle);
  Outcome refused = run("ZUV_Record2Blob", {num(2), blob("bytes")});
  EXPECT_EQ(refused.number(), host::error::kNoMemory);
  EXPECT_EQ(refused.blob(2), (Blob{true, ""}));
  // The host makes its image, but the BLOB cannot grow to take it: no success is reported.
  emu.clearRefusals();
  emu.refuse(host::Refusal::GrowHandle);
  Outcome notCopied = run("ZUV_Record2Blob", {num(2), blob("")});
  EXPECT_EQ(notCopied.number(), host::error::kNoMemory);
  EXPECT_EQ(notCopied.blob(2), (Blob{true, ""}));
}

TEST_F(RecordTest, BlobBecomesTheTablesCurrentRecord) {
  emu.setCurrentRecord(4, "old");
  Outcome out = run("ZUV_Blob2Record", {blob(imageOf(4, "new fields")), num(4)});
  EXPECT_EQ(out.number(), 0);
  EXPECT_EQ(emu.currentRecord(4), Bytes("new fields"));
  EXPECT_EQ(out.blob(1).bytes, imageOf(4, "new fields"));
}

TEST_F(RecordTest, ImageOfAnotherTableAnswersTheHostsPositiveCode) {
  emu.setCurrentRecord(4, "old");
  EXPECT_EQ(run("ZUV_Blob2Record", {blob(imageOf(5, "fields")), num(4)}).number(),
            host::error::kNotARecord);
  EXPECT_EQ(run("ZUV_Blob2Record", {blob(""), num(4)}).number(), host::error::kNotARecord);
  EXPECT_EQ(emu.currentRecord(4), Bytes("old"));
}

TEST_F(RecordTest, BlobWithoutHandleAnswersMinusOneWithoutAskingTheHost) {
  emu.resetTrace();
  EXPECT_EQ(run("ZUV_Blob2Record", {noHandleBlob(), num(1)}).number(), -1);
  EXPECT_EQ(emu.entryCount(-27), 0);
}

TEST_F(RecordTest, RecordRoundTrip) {
  emu.setCurrentRecord(9, Bytes("\0binary\xFF fields", 15));
  Outcome saved = run("ZUV_Record2Blob", {num(9), noHandleBlob()});
  ASSERT_EQ(saved.number(), 0);
  emu.setCurrentRecord(9, "changed");
  EXPECT_EQ(run("ZUV_Blob2Record", {Value{saved.blob(2)}, num(9)}).number(), 0);
  EXPECT_EQ(emu.currentRecord(9), Bytes("\0binary\xFF fields", 15));
}

}  // namespace
}  // namespace zuvtest
