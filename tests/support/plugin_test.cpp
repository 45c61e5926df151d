#include "support/plugin_test.h"

#include "4DPluginAPI.h"

namespace zuvtest {

PluginTest::PluginTest(host::Options options) : emu(std::move(options)) {}

void PluginTest::SetUp() {
  emu.attach(&FourDPackex);
  emu.startup();
}

void PluginTest::TearDown() {
  if (emu.started()) emu.shutdown();
  host::LiveCounts live = emu.live();
  EXPECT_TRUE(live.zero()) << "the plug-in leaked: " << host::describe(live);
  expectNoFaults();
}

void PluginTest::expectNoFaults() {
  for (const std::string& fault : emu.faults()) ADD_FAILURE() << "host fault: " << fault;
}

}  // namespace zuvtest
