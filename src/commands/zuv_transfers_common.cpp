// What every transfer loop shares: the character-set pairs, the chunk conversion, the receive of
// chunks, the UTF-8 cut, the deadlines, the yield points and the delimiter search
// (zuv_transfers_common.h).

#include "commands/zuv_transfers_common.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include <unicode/utf8.h>

#include "network/tcp.h"
#include "text/conversion.h"
#include "text/filter_charsets.h"
#include "text/filter_stream.h"

namespace {

bool isContinuationByte(uint8_t byte) { return (byte & 0xC0) == 0x80; }
bool isLeadByte(uint8_t byte) { return byte >= 0xC0 && byte <= 0xFD; }

}  // namespace

// ---- Character-set pairs and chunks ------------------------------------------------------------

void getFilterCharsets(int& filter, PA_4DCharSet& source, PA_4DCharSet& target) {
  auto pick = [filter](int32_t bit1005, int32_t bitUTF8, int32_t bit100) -> PA_4DCharSet {
    if ((filter & bit1005) != 0) return kCharSet1005;
    if ((filter & bitUTF8) != 0) return kCharSetUTF8;
    if ((filter & bit100) != 0) return kCharSet100;
    return 0;
  };
  source = pick(kFilterIn1005, kFilterInUTF8, kFilterIn100);
  target = pick(kFilterOut1005, kFilterOutUTF8, kFilterOut100);
  if (source == 0) source = target;
  if (target == 0) target = source;
  filter &= kFilterTextBits;
}

int getUTF8SendSize(const char* buffer, int length) {
  if (length <= 1) return length;
  const auto* bytes = reinterpret_cast<const uint8_t*>(buffer);
  int last;  // where the last character starts
  if (!isContinuationByte(bytes[length - 1])) {
    last = length - 1;
  } else if (!isContinuationByte(bytes[length - 2])) {
    last = length - 2;
  } else {
    last = utf8_back1SafeBody(bytes, 0, length - 2);
  }
  int keep = isLeadByte(bytes[last]) ? last : last + 1;
  return keep == 0 ? length : keep;
}

int64_t incompleteUTF8Tail(const char* bytes, int64_t length) {
  const auto* end = reinterpret_cast<const uint8_t*>(bytes) + length;
  for (int64_t back = 1; back <= 3 && back <= length; ++back) {
    uint8_t lead = end[-back];
    if (isContinuationByte(lead)) continue;
    if (!U8_IS_LEAD(lead) || U8_COUNT_TRAIL_BYTES(lead) < back) return 0;
    if (back == 1) return 1;
    uint8_t second = end[1 - back];
    bool valid = lead < 0xE0   ? true
                 : lead < 0xF0 ? U8_IS_VALID_LEAD3_AND_T1(lead, second)
                               : U8_IS_VALID_LEAD4_AND_T1(lead, second);
    return valid ? back : 0;
  }
  return 0;
}

EncodedChars convertChunk(const char* bytes, int n, const ChunkConversion& conversion) {
  return convertToChars(bytes, n, conversion.source, conversion.target);
}

int32_t sendConverted(tcp::TCPGlob* stream, const EncodedChars& bytes, bool flushFirst) {
  return tcp::send(stream, bytes.chars, bytes.length, flushFirst);
}

// ---- Receiving chunks ---------------------------------------------------------------------------

int32_t ChunkReceiver::receive(int32_t max) {
  clearChunk();
  int64_t asked = int64_t{max} - static_cast<int64_t>(tail_.size());
  if (asked <= 0) {
    // The rest of the held-back character lies beyond the limit.
    if (wholeUTF8Length(tail_) != tail_.size()) {
      cutByLimit_ = true;
      return 0;
    }
    chunk_.swap(tail_);
    view_ = chunk_;
    return static_cast<int32_t>(chunk_.size());
  }
  HostHandle handle = scratch_.release();
  int32_t received = tcp::receive(stream_, handle, static_cast<int32_t>(asked));
  scratch_.reset(handle);
  if (received <= 0 || !scratch_) return received;
  // The received bytes are read where they are, unless a tail goes before them or a cut.
  locked_ = std::make_unique<unique_handle_lock>(scratch_.get());
  std::string_view got(locked_->data(), static_cast<size_t>(PA_GetHandleSize(scratch_.get())));
  if (!cutsUTF8_ && tail_.empty()) {
    view_ = got;
    return received;
  }
  chunk_.swap(tail_);
  chunk_.append(got);
  locked_.reset();
  if (cutsUTF8_ && !chunk_.empty()) {
    size_t keep =
        static_cast<size_t>(getUTF8SendSize(chunk_.data(), static_cast<int>(chunk_.size())));
    // The beginning of a character alone waits too: its other bytes may follow.
    if (keep == chunk_.size() && wholeUTF8Length(chunk_) == 0) keep = 0;
    tail_.assign(chunk_, keep, std::string::npos);
    chunk_.resize(keep);
  }
  view_ = chunk_;
  return received;
}
bool streamTakesTailBack(tcp::TCPGlob* stream, bool keepStream) {
  return keepStream && tcp::status(stream, tcp::kSelectStatus) == kStreamEstablished;
}

// ---- Deadlines
// -----------------------------------------------------------------------------------

int64_t ticksToMilliseconds(int32_t ticks) { return int64_t{ticks} * 50 / 3; }

Deadline Deadline::afterTicks(int32_t ticks) {
  return Deadline(tcp::steadyNow() + std::chrono::milliseconds(ticksToMilliseconds(ticks)));
}

Deadline Deadline::afterSeconds(int32_t seconds) {
  return Deadline(tcp::steadyNow() + std::chrono::nanoseconds(int64_t{seconds} * 1000000000));
}

bool Deadline::passed() const { return exists_ && tcp::steadyNow() > at_; }

// ---- Where the loops yield ----------------------------------------------------------------------

void yieldAt(const LoopPacing& pacing) {
  switch (pacing.yield) {
    case YieldPoint::kBetweenPasses:
      return PA_Yield();
    case YieldPoint::kAfterPoll:
      return delay(kIdleTicks);
    case YieldPoint::kNone:
      return;
  }
}

void idleAfterEmptyPass(tcp::TCPGlob* stream, const LoopPacing& pacing) {
  if (pacing.idleTicks <= 0) return;
  tcp::awaitBytes(stream, kEmptyPassWait);
  if (tcp::charsReceived(stream) > 0) return;
  delay(pacing.idleTicks);
}

// ---- Delimiter search ---------------------------------------------------------------------------

int64_t DelimiterSearch::find(const char* bytes, int64_t size, int64_t start) {
  if (!matchesSomething() || start < 0 || start >= size) return -1;
  const int64_t n = length();
  if (start < checkedFrom_ || start > checkedTo_) checkedFrom_ = checkedTo_ = start;
  const int64_t from = std::max(start, checkedTo_);
  if (size - from < n) return -1;
  const void* hit =
      memmem(bytes + from, static_cast<size_t>(size - from), delimiter_.data(), delimiter_.size());
  if (hit != nullptr) return static_cast<const char*>(hit) - bytes;
  // Every start up to size - n was compared whole: those bytes never change again.
  checkedTo_ = size - n + 1;
  return -1;
}
