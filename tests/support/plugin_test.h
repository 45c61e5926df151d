// The fixture of every command test: a host emulator with the plug-in started, calls that go
// through FourDPackex the way 4D makes them, and a TearDown that shuts the plug-in down and
// asserts that it left no live handle, text, picture or object and that the emulator saw no
// fault. Once the test's own fixture is gone too (its peers, files and folders), every file
// descriptor opened since the fixture was made must be closed again: one that a command left open
// stays open in the host for as long as it runs.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "emulator.h"

namespace zuvtest {

using host::Blob;
using host::Bytes;
using host::Date;
using host::IntegerArray;
using host::LongintArray;
using host::Outcome;
using host::Picture;
using host::Text;
using host::TextArray;
using host::Value;

// u"..." for texts, int64_t for numbers: Value{int64_t{5}} is awkward in tables, so num(5).
inline Value num(int64_t n) { return Value{n}; }
inline Value txt(std::string_view utf8) { return Value{host::text(utf8)}; }
inline Value blob(Bytes bytes) { return Value{Blob{true, std::move(bytes)}}; }
inline Value noHandleBlob() { return Value{Blob{false, {}}}; }

class PluginTest : public ::testing::Test {
 protected:
  explicit PluginTest(host::Options options = {});
  ~PluginTest() override;
  void SetUp() override;
  void TearDown() override;

  Outcome run(std::string_view command, std::vector<Value> args = {}, int process = 1) {
    return emu.call(command, std::move(args), process);
  }
  // Asserts that the emulator has seen no fault so far, and clears nothing.
  void expectNoFaults();

  host::Emulator emu;

 private:
  void expectNoDescriptorLeft();

  std::map<int, std::string> descriptorsBefore_;
};

}  // namespace zuvtest
