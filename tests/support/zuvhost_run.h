// The fixture of the zuvhost tests that run scripts: the plug-in started in a host emulator, a
// run() that checks and runs a script as zuvhost does and answers what it printed or the
// "line:column: message" of the error that stopped it, and a TearDown that asserts the plug-in
// left nothing behind and the emulator saw no fault.
#pragma once

#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "emulator.h"
#include "zuvhost/interpreter.h"
#include "zuvhost/parser.h"

namespace zuvtest {

// A script and what running it prints (or the error that stops it).
struct ScriptCase {
  const char* source;
  const char* expected;
};

class ZuvhostRun : public ::testing::Test {
 protected:
  void SetUp() override {
    emulator.load(ZUV_MODULE_PATH);
    emulator.startup();
  }
  void TearDown() override {
    emulator.shutdown();
    EXPECT_TRUE(emulator.live().zero()) << host::describe(emulator.live());
    EXPECT_TRUE(emulator.faults().empty());
    emulator.unload();
  }
  std::string run(const std::string& source) {
    std::string printed;
    zuvhost::Interpreter interpreter(emulator, [&](std::string_view b) { printed += b; });
    try {
      zuvhost::Script script = zuvhost::parseScript(source);
      interpreter.check(script);
      interpreter.run(script);
      return printed;
    } catch (const zuvhost::ScriptError& error) {
      return printed + std::to_string(error.position.line) + ":" +
             std::to_string(error.position.column) + ": " + error.what();
    }
  }
  void runTable(const ScriptCase* begin, const ScriptCase* end) {
    for (const ScriptCase* c = begin; c != end; ++c) {
      SCOPED_TRACE(c->source);
      EXPECT_EQ(run(c->source), c->expected);
    }
  }
  host::Emulator emulator;
};

}  // namespace zuvtest
