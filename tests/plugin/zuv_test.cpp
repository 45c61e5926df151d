// The dispatcher and the module: selectors without a command touch nothing, and the module
// that 4D loads exports FourDPackex alone.

#include <array>
#include <cstdio>
#include <memory>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "4DPluginAPI.h"
#include "emulator.h"
#include "support/plugin_test.h"

namespace zuvtest {
namespace {

class DispatcherTest : public PluginTest {
 protected:
  DispatcherTest() : PluginTest(host::Options{.resultSentinel = 0xA5A5A5A5A5A5A5A5}) {}
};

TEST_F(DispatcherTest, SelectorsWithoutACommandReadNothingAndLeaveTheResult) {
  // The emulator hands these selectors a parameter array it cannot read: a read would crash.
  const int32_t selectors[] = {-3, 0,  1,  21, 22, 27, 32,  35,  46,  59,   65, 68,     71,
                               78, 79, 83, 84, 86, 87, 101, 102, 108, 1000, -5, -200000};
  for (int32_t selector : selectors) {
    SCOPED_TRACE(selector);
    emu.resetTrace();
    emu.callSelector(selector, nullptr);
    EXPECT_TRUE(emu.trace().empty()) << "no host call";
  }
}

TEST_F(DispatcherTest, SelectorMinus200AfterStartUpReadsNoParameter) {
  // -200 carries the start-up record, read by the entry point; the dispatcher ignores it.
  EXPECT_EQ(emu.startupWithSelector(-200), 5648);
  EXPECT_TRUE(emu.faults().empty());
}

// The module as 4D loads it.
std::string run(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) out.append(buffer.data(), n);
  return out;
}

TEST(ModuleTest, ExportsFourDPackexAlone) {
  std::string symbols =
      run("nm -D --defined-only '" ZUV_MODULE_PATH "' | awk '{print $3}' | sort -u");
  std::set<std::string> defined;
  size_t start = 0;
  for (size_t end; (end = symbols.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string name = symbols.substr(start, end - start);
    if (!name.empty()) defined.insert(name);
  }
  EXPECT_EQ(defined, std::set<std::string>{"FourDPackex"});
}

TEST(ModuleTest, LoadsStartsAndShutsDownThroughTheHost) {
  host::Emulator emu;
  emu.load(ZUV_MODULE_PATH);
  EXPECT_EQ(emu.startup(), 5648);
  EXPECT_EQ(emu.call("ZUV_UDPMaxSize").result.index(), 1u) << "a longint result";
  emu.shutdown();
  emu.unload();
  EXPECT_TRUE(emu.live().zero()) << host::describe(emu.live());
  EXPECT_TRUE(emu.faults().empty());
}

}  // namespace
}  // namespace zuvtest
