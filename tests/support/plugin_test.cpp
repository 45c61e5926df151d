#include "support/plugin_test.h"

#include "4DPluginAPI.h"
#include "network/tcp.h"
#include "support/open_descriptors.h"

namespace zuvtest {
namespace {

// The emulator of the test that runs now: the network layer's own faults (a stream record
// released twice) become its faults, named with the command that made them.
host::Emulator* sReporting = nullptr;

void reportToHost(const std::string& fault) {
  if (sReporting != nullptr) sReporting->reportFault(fault);
}

}  // namespace

PluginTest::PluginTest(host::Options options) : emu(std::move(options)) {
  descriptorsBefore_ = openDescriptors();
}

PluginTest::~PluginTest() {
  if (sReporting == &emu) {
    tcp::testing::setFaultReport(nullptr);
    sReporting = nullptr;
  }
  expectNoDescriptorLeft();
}

void PluginTest::SetUp() {
  sReporting = &emu;
  tcp::testing::setFaultReport(&reportToHost);
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

// Documents that host command 264 opened are the host's, handed to the 4D method that asked for
// them: the host closes them here, and what is left open is the plug-in's.
void PluginTest::expectNoDescriptorLeft() {
  emu.closeDocuments();
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name =
      test != nullptr ? std::string(test->test_suite_name()) + "." + test->name() : "the test";
  for (const auto& [fd, target] : descriptorsOpenedSince(descriptorsBefore_, openDescriptors())) {
    ADD_FAILURE() << name << " left file descriptor " << fd << " open (" << target
                  << ") after the plug-in's shut-down";
  }
}

}  // namespace zuvtest
