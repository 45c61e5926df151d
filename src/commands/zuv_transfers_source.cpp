// The network bytes behind what a BLOB receive converted last (zuv_transfers_source.h).

#include "commands/zuv_transfers_source.h"

#include <algorithm>
#include <utility>
#include <vector>

namespace {

// The window keeps at least this many bytes before each pass's chunk: more than any filter looks
// ahead (an HTML entity's reach of 32 units, four bytes each) and than the tries below reach.
constexpr size_t kKept = 1024;
// How far before the byte that completes a delimiter its own bytes may end, and how far after
// it a filter started afresh must give what followed the delimiter.
constexpr size_t kLookBack = 160;
constexpr size_t kLookAhead = 160;

bool isContinuationByte(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

bool readsUTF8(const TransferConversion& conversion) { return conversion.cutsUTF8(); }

// The first place at or after `at` where a character of the source begins (or the end).
size_t characterStart(std::string_view bytes, size_t at, bool utf8) {
  at = std::min(at, bytes.size());
  while (utf8 && at < bytes.size() && isContinuationByte(bytes[at])) ++at;
  return at;
}

// Every place where a character of the source begins, the end included.
std::vector<size_t> characterStarts(std::string_view bytes, bool utf8) {
  std::vector<size_t> starts;
  for (size_t at = 0; at < bytes.size(); ++at) {
    if (!utf8 || !isContinuationByte(bytes[at])) starts.push_back(at);
  }
  starts.push_back(bytes.size());
  return starts;
}

void append(std::string& out, const EncodedChars& bytes) {
  if (bytes.chars != nullptr && bytes.length > 0) out.append(bytes.chars, bytes.length);
}

// What `conversion` produces for `bytes`, and with `ending` what it still held at a transfer's
// end as well. The conversion goes on from there.
std::string produce(TransferConversion& conversion, std::string_view bytes, bool ending) {
  std::string out;
  if (!bytes.empty()) {
    append(out, conversion.next(bytes.data(), static_cast<int>(bytes.size())));
  }
  if (ending) append(out, conversion.finish());
  return out;
}

// The same on a copy, which is then dropped.
std::string produceFrom(const TransferConversion& from, std::string_view bytes, bool ending) {
  TransferConversion copy(from);
  return produce(copy, bytes, ending);
}

}  // namespace

SourceWindow::SourceWindow(const TransferConversion& start, int64_t base)
    : state_(start), fresh_(start), base_(base) {}

void SourceWindow::convert(TransferConversion& conversion, std::string_view chunk,
                           int64_t sizeBefore, std::string& produced) {
  produced.clear();
  bytes_.append(chunk);
  nextFrom_ = 0;
  next_.reset();
  const bool utf8 = readsUTF8(conversion);
  // A long chunk is converted in two pieces, which give what one would: the conversion between
  // them is where the window moves to after the pass, its last bytes still within reach.
  size_t cut = chunk.size() > kKept ? characterStart(chunk, chunk.size() - kKept, utf8) : 0;
  if (cut > 0 && cut < chunk.size()) {
    produced = produce(conversion, chunk.substr(0, cut), false);
    next_.emplace(conversion);
    nextFrom_ = bytes_.size() - (chunk.size() - cut);
    nextBase_ = sizeBefore + static_cast<int64_t>(produced.size());
    chunk.remove_prefix(cut);
  }
  produced.append(produce(conversion, chunk, false));
}

void SourceWindow::advance() {
  if (next_) {
    state_ = std::move(*next_);
    next_.reset();
    base_ = nextBase_;
    bytes_.erase(0, nextFrom_);
    nextFrom_ = 0;
    return;
  }
  // Short chunks gather; once they pass twice what is kept, the oldest are converted once more
  // on the window's own conversion, which then stands where the kept bytes begin.
  if (bytes_.size() > 2 * kKept) {
    rebase(characterStart(bytes_, bytes_.size() - kKept, readsUTF8(state_)));
  }
}

void SourceWindow::forgetLast(size_t n) {
  bytes_.resize(bytes_.size() - std::min(n, bytes_.size()));
  next_.reset();
  nextFrom_ = 0;
}

void SourceWindow::rebase(size_t from) {
  std::string given = produce(state_, std::string_view(bytes_).substr(0, from), false);
  base_ += static_cast<int64_t>(given.size());
  bytes_.erase(0, from);
}

std::string_view SourceWindow::beyond(int64_t end, std::string_view produced) const {
  if (end <= 0) return bytes_;
  return std::string_view(bytes_).substr(splitPoint(end, produced));
}

// Where the delimiter's network bytes end: the first place p, from a little before the byte that
// completes the delimiter up to it, such that
//   (1) the bytes up to p, converted as if the stream ended after them, give the BLOB's bytes up
//       to the delimiter's end, and the bytes from p, converted afresh, give exactly what the
//       whole gives after the delimiter;
// failing that, the first p where the second holds alone (a filter that writes a byte
// differently at a stream's end, such as a space that ends a quoted-printable line); failing
// that, the byte that completes the delimiter: the group of bytes that holds it stays whole.
size_t SourceWindow::splitPoint(int64_t end, std::string_view produced) const {
  const std::string_view bytes(bytes_);
  const std::vector<size_t> starts = characterStarts(bytes, readsUTF8(state_));
  auto reaches = [&](size_t index) {
    return static_cast<int64_t>(
               produceFrom(state_, bytes.substr(0, starts[index]), false).size()) >= end;
  };
  // The first place whose bytes bring the delimiter's end (the end, when only the conversion's
  // last flush brings it).
  size_t low = 0;
  size_t high = starts.size() - 1;
  while (low < high) {
    size_t middle = low + (high - low) / 2;
    if (reaches(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  const size_t completing = starts[low];
  const size_t first =
      characterStart(bytes, completing > kLookBack ? completing - kLookBack : 0, readsUTF8(state_));
  const size_t reach = characterStart(bytes, completing + kLookAhead, readsUTF8(state_));
  const std::string whole = produceFrom(state_, bytes.substr(0, reach), true);
  if (static_cast<int64_t>(whole.size()) < end) return completing;
  const std::string_view after = std::string_view(whole).substr(static_cast<size_t>(end));

  TransferConversion before(state_);
  const size_t given = produce(before, bytes.substr(0, first), false).size();
  const int64_t wanted = end - static_cast<int64_t>(given);
  std::optional<size_t> alone;
  for (auto at = std::lower_bound(starts.begin(), starts.end(), first);
       at != starts.end() && *at <= completing; ++at) {
    if (produceFrom(fresh_, bytes.substr(*at, reach - *at), true) != after) continue;
    if (wanted <= 0) return *at;
    std::string ending = produceFrom(before, bytes.substr(first, *at - first), true);
    const auto length = static_cast<size_t>(wanted);
    if (ending.size() >= length && ending.compare(0, length, produced.substr(given, length)) == 0) {
      return *at;
    }
    if (!alone) alone = *at;
  }
  return alone ? *alone : completing;
}
