// The stream table and the plug-in's life cycle. The table holds the ids 1..1023 by which 4D
// methods name the network layer's streams, and the busy counters that keep a stream from being
// released while a command that yields works on it. TCP streams, listening streams and UDP
// sockets share the ids. The life cycle starts the network layer with an empty table (start-up,
// selector -1), releases every stream at shut-down (-2) and ends a thread's state in the TLS
// library (-4).
//
// The table is process-wide, zeroed at start-up and cleared at shut-down; it takes no lock,
// since the host switches 4D processes only at yields.
#pragma once

#include <cstdint>

#include "network/tcp.h"

namespace streams {

// Ids run from 1 to kHighestId; the capacity reported to 4D is one more.
constexpr int32_t kHighestId = 1023;
constexpr int32_t kCapacity = kHighestId + 1;

// The stream that an id names, or null for a bad id (outside 1..1023 or an empty entry).
tcp::TCPGlob* lookUp(int32_t id);
// Stores a new stream under the lowest free id and answers it. With the table full the stream
// is released at once, so that nothing leaks, and the answer is 0. A null stream answers 0.
int32_t add(tcp::TCPGlob* stream);
// Empties the entry of an id and answers the stream it held (null for a bad id), for the
// releases that free their record themselves (ZUV_UDPRelease). The caller tests busy() first.
tcp::TCPGlob* remove(int32_t id);
// True while a command holds the stream of this id.
bool busy(int32_t id);
// How many streams the table holds.
int32_t count();
// The id of the n-th stream in the order of the ids (n from 1); 0 when there are fewer.
int32_t idAt(int32_t n);

// Raises an id's busy counter for a scope and lowers it at its end, unless the entry no longer
// holds the same stream (shut-down cleared the table meanwhile).
class BusyStream {
 public:
  explicit BusyStream(int32_t id);
  ~BusyStream();
  BusyStream(const BusyStream&) = delete;
  BusyStream& operator=(const BusyStream&) = delete;
  tcp::TCPGlob* stream() const { return stream_; }

 private:
  int32_t id_;
  tcp::TCPGlob* stream_;
};

}  // namespace streams

// Releases the stream of an id through tcp::release with mode `how`: -2 for a bad id or a busy
// stream, which then stays; else the entry is emptied first (so that a second release during
// this one's yields finds no stream) and the release's answer, 0 or -1, is returned.
int doTCPRelease(int32_t id, int how);

// The life cycle: start-up (-1), shut-down (-2) and the clean-up of a thread's state in the TLS
// library (-4).
void startUp();
void shutDown();
void cleanUpThread();
