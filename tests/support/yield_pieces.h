// A peer's bytes sent in pieces between the passes of a command: one piece at each yield of a
// 4D process, each sent once the stream has the one before, so that every pass of a receive
// gets one piece, wherever the pieces cut.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "emulator.h"
#include "network/tcp.h"
#include "peers/held_peer.h"
#include "plugin/streams.h"

namespace zuvtest {

// From the next yield of `process` on, writes piece after piece, one a yield, and waits each
// time until the stream `id` has it.
inline void sendAtYields(host::Emulator& emu, peers::HeldPeer& peer, int64_t id,
                         std::vector<std::string> pieces, size_t next = 0, int process = 1) {
  if (next >= pieces.size()) return;
  emu.onYield(process, 1, [&emu, &peer, id, pieces, next, process] {
    peer.write(pieces[next]);
    tcp::TCPGlob* stream = streams::lookUp(static_cast<int32_t>(id));
    EXPECT_TRUE(peers::await(
        [&] { return tcp::charsReceived(stream) >= static_cast<int32_t>(pieces[next].size()); }));
    sendAtYields(emu, peer, id, pieces, next + 1, process);
  });
}

// The wire cut in two at `cut`, or whole when the cut is at its end.
inline std::vector<std::string> cutInTwo(const std::string& wire, size_t cut) {
  std::vector<std::string> pieces{wire.substr(0, cut)};
  if (cut < wire.size()) pieces.push_back(wire.substr(cut));
  return pieces;
}

}  // namespace zuvtest
