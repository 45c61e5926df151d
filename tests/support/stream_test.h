// The fixture of the stream tests: a plug-in test that can reach a stream by its id and send
// and receive on it directly, inside a 4D process of the emulator, to see bytes the way the
// commands move them. TearDown puts back the stream clocks a test may have moved.
#pragma once

#include <cstdint>
#include <string>

#include "4DPluginAPI.h"
#include "network/tcp.h"
#include "plugin/streams.h"
#include "support/plugin_test.h"

namespace zuvtest {

class StreamTest : public PluginTest {
 protected:
  void TearDown() override {
    tcp::testing::resetClocks();
    PluginTest::TearDown();
  }

  tcp::TCPGlob* stream(int64_t id) { return streams::lookUp(static_cast<int32_t>(id)); }
  int32_t send(int64_t id, const std::string& bytes) {
    int32_t result = 0;
    emu.run(1, [&] {
      result = tcp::send(stream(id), bytes.data(), static_cast<int32_t>(bytes.size()), false);
    });
    return result;
  }
  // One receive of at most max bytes (0: no maximum).
  std::string receiveOnce(int64_t id, int32_t max = 0) {
    std::string bytes;
    emu.run(1, [&] {
      HostHandle handle = nullptr;
      int32_t n = tcp::receive(stream(id), handle, max);
      if (n > 0) bytes.assign(*handle, static_cast<size_t>(n));
      if (handle != nullptr) PA_DisposeHandle(handle);
    });
    return bytes;
  }
};

}  // namespace zuvtest
