// BLOB search and replace in one pass over the BLOB: see blobs.h.

#include "services/blobs.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string_view>
#include <vector>

namespace blobs {
namespace {

// The bytes of a BLOB's search: data[offset, end) with end the first zero byte at or after the
// offset, or the BLOB's size.
struct Haystack {
  char* data;
  size_t offset;
  size_t end;
  size_t size;
};

Haystack haystackOf(char* data, size_t offset, size_t size) {
  const void* zero = std::memchr(data + offset, 0, size - offset);
  size_t end = zero != nullptr ? static_cast<size_t>(static_cast<const char*>(zero) - data) : size;
  return {data, offset, end, size};
}

// The first occurrence of pattern in [from, end), or null.
const char* findPattern(const char* from, const char* end, std::string_view pattern) {
  if (static_cast<size_t>(end - from) < pattern.size()) return nullptr;
  return static_cast<const char*>(
      memmem(from, static_cast<size_t>(end - from), pattern.data(), pattern.size()));
}

// Visits up to limit matches, left to right and never overlapping, calling visit(match) for each.
template <typename Visit>
Found forEachMatch(const Haystack& hay, std::string_view pattern, int64_t limit, Visit visit) {
  Found found;
  const char* at = hay.data + hay.offset;
  const char* end = hay.data + hay.end;
  while (found.count < limit) {
    const char* match = findPattern(at, end, pattern);
    if (match == nullptr) break;
    found.last = match - hay.data;
    ++found.count;
    visit(match);
    at = match + pattern.size();
  }
  return found;
}

Found search(const Haystack& hay, std::string_view pattern, int64_t limit) {
  return forEachMatch(hay, pattern, limit, [](const char*) {});
}

Found replaceSameLength(const Haystack& hay, std::string_view pattern, std::string_view with,
                        int64_t limit) {
  return forEachMatch(hay, pattern, limit, [&](const char* match) {
    std::memcpy(const_cast<char*>(match), with.data(), with.size());
  });
}

// Replaces by a shorter text in one pass: the kept bytes move towards the start as the matches
// are found, ahead of the scan, which reads only bytes not moved yet. Answers the BLOB's new
// size in newSize; the caller shrinks the BLOB to it.
Found replaceShorter(const Haystack& hay, std::string_view pattern, std::string_view with,
                     int64_t limit, size_t& newSize) {
  char* write = hay.data + hay.offset;
  const char* read = write;
  Found found = forEachMatch(hay, pattern, limit, [&](const char* match) {
    size_t kept = static_cast<size_t>(match - read);
    std::memmove(write, read, kept);
    write += kept;
    if (!with.empty()) std::memcpy(write, with.data(), with.size());
    write += with.size();
    read = match + pattern.size();
  });
  if (found.count > 0) {
    found.last = write - hay.data - static_cast<int64_t>(with.size());
    std::memmove(write, read, static_cast<size_t>(hay.data + hay.size - read));
  }
  newSize = hay.size - static_cast<size_t>(found.count) * (pattern.size() - with.size());
  return found;
}

// The matches of a replacement by a longer text, one bit per byte of the searched bytes, so that
// the BLOB can be grown once and filled from its end.
class MatchMarks {
 public:
  explicit MatchMarks(const Haystack& hay)
      : offset_(hay.offset), words_((hay.end - hay.offset + 63) / 64) {}

  void mark(size_t at) {
    size_t bit = at - offset_;
    words_[bit / 64] |= uint64_t{1} << (bit % 64);
  }

  // Calls visit(at) for every mark, from the last to the first.
  template <typename Visit>
  void forEachBackwards(Visit visit) const {
    for (size_t w = words_.size(); w-- > 0;) {
      for (uint64_t word = words_[w]; word != 0;) {
        int bit = 63 - __builtin_clzll(word);
        word &= ~(uint64_t{1} << bit);
        visit(offset_ + w * 64 + static_cast<size_t>(bit));
      }
    }
  }

 private:
  size_t offset_;
  std::vector<uint64_t> words_;
};

// Fills a grown BLOB from the end: the bytes after each match move by the growth of every
// replacement before them, the last ones first, so that no byte is written before it has moved.
// data holds the old size's bytes and room for count replacements.
void fillBackwards(char* data, size_t oldSize, const MatchMarks& marks, int32_t count,
                   std::string_view pattern, std::string_view with) {
  const size_t growth = with.size() - pattern.size();
  size_t segmentEnd = oldSize;
  size_t before = static_cast<size_t>(count);  // replacements up to this match, itself included
  marks.forEachBackwards([&](size_t match) {
    size_t segmentStart = match + pattern.size();
    std::memmove(data + segmentStart + before * growth, data + segmentStart,
                 segmentEnd - segmentStart);
    --before;
    std::memcpy(data + match + before * growth, with.data(), with.size());
    segmentEnd = match;
  });
}

// Replaces by a longer text: the matches are counted and marked, as many as the limit and the
// largest BLOB allow, then the BLOB grows once. A refused growth replaces nothing.
Found replaceLonger(HostHandle blob, const Haystack& hay, std::string_view pattern,
                    std::string_view with, int64_t limit) {
  const int64_t growth = static_cast<int64_t>(with.size() - pattern.size());
  const int64_t room = (kMaxLength - static_cast<int64_t>(hay.size)) / growth;
  MatchMarks marks(hay);
  Found found = forEachMatch(hay, pattern, std::min(limit, room),
                             [&](const char* match) { marks.mark(match - hay.data); });
  if (found.count == 0) return found;
  const int64_t newSize = static_cast<int64_t>(hay.size) + found.count * growth;
  if (!PA_SetHandleSize(blob, static_cast<int32_t>(newSize))) return {};
  // The host may have moved the bytes: the master pointer is read after the resize.
  fillBackwards(*blob, hay.size, marks, found.count, pattern, with);
  found.last += (found.count - 1) * growth;
  return found;
}

PA_4DCharSet charsetOf(int32_t charsetSwitch) {
  return charsetSwitch != 0 ? kCharSetUTF8 : kCharSet100;
}

// The bytes of a text parameter in UTF-8 (switch not 0) or host character set 100.
EncodedChars bytesOfText(const PA_Unistring& text, int32_t charsetSwitch) {
  return convertToChars(text.fString, text.fLength, charsetOf(charsetSwitch));
}

Exactness exactness(const PA_Unistring& text, const EncodedChars& bytes, int32_t charsetSwitch) {
  return exactnessOf(text.fString, text.fLength, bytes, charsetOf(charsetSwitch));
}

bool exact(const PA_Unistring& text, const EncodedChars& bytes, int32_t charsetSwitch) {
  return exactness(text, bytes, charsetSwitch) == Exactness::kExact;
}

std::string_view viewOf(const EncodedChars& bytes) {
  if (bytes.chars == nullptr || bytes.length <= 0) return {};
  return {bytes.chars, static_cast<size_t>(bytes.length)};
}

// A pattern that can match: bytes, none of them zero.
bool searchable(std::string_view pattern) {
  return !pattern.empty() && pattern.find('\0') == std::string_view::npos;
}

Found searchOrReplace(HostHandle blob, int32_t size, int32_t offset, std::string_view pattern,
                      const std::string_view* with, int32_t limit) {
  Haystack hay = haystackOf(*blob, static_cast<size_t>(offset), static_cast<size_t>(size));
  if (with == nullptr) return search(hay, pattern, limit);
  if (with->size() == pattern.size()) return replaceSameLength(hay, pattern, *with, limit);
  if (with->size() > pattern.size()) return replaceLonger(blob, hay, pattern, *with, limit);
  size_t newSize = hay.size;
  Found found = replaceShorter(hay, pattern, *with, limit, newSize);
  // The bytes have moved already; a host gives up the end of a block without fail.
  if (found.count > 0) PA_SetHandleSize(blob, static_cast<int32_t>(newSize));
  return found;
}

// Converts the pattern and the replacement (null for a search) and searches or replaces. A
// pattern that the character set cannot hold exactly matches nothing: its '?' would match other
// characters. Such a replacement would write '?' in place of what the caller asked for: the
// replace answers it as inexact and changes nothing.
Found convertAndSearch(HostHandle blob, int32_t size, int32_t offset,
                       const PA_Unistring& patternText, const PA_Unistring* replacementText,
                       int32_t limit, int32_t charsetSwitch) {
  EncodedChars pattern = bytesOfText(patternText, charsetSwitch);
  if (replacementText == nullptr) {
    if (!searchable(viewOf(pattern)) || !exact(patternText, pattern, charsetSwitch)) return {};
    return searchOrReplace(blob, size, offset, viewOf(pattern), nullptr, limit);
  }
  EncodedChars replacement = bytesOfText(*replacementText, charsetSwitch);
  std::string_view with = viewOf(replacement);
  // A replacement that the host did not convert would delete the matches instead.
  if (!searchable(viewOf(pattern)) || (replacementText->fLength > 0 && with.empty())) return {};
  // A replacement that the host did not convert back is refused as one it did not convert.
  Exactness written = exactness(*replacementText, replacement, charsetSwitch);
  if (written == Exactness::kRefused) return {};
  if (written == Exactness::kInexact) return {0, -1, true};
  if (!exact(patternText, pattern, charsetSwitch)) return {};
  return searchOrReplace(blob, size, offset, viewOf(pattern), &with, limit);
}

}  // namespace

Found searchAndReplace(HostHandle blob, int32_t offset, const PA_Unistring& pattern,
                       const PA_Unistring* replacement, int32_t count, int32_t charsetSwitch) {
  Found found;
  const int32_t size = blob != nullptr ? PA_GetHandleSize(blob) : 0;
  const int32_t limit = count == 0 ? 1 : count;
  if (offset >= 0 && offset < size && pattern.fLength > 0 && limit > 0) {
    try {
      found = convertAndSearch(blob, size, offset, pattern, replacement, limit, charsetSwitch);
    } catch (const std::bad_alloc&) {
      // Every allocation comes before the BLOB is changed: it stays as it was.
      found = {};
    }
  }
  return found;
}

}  // namespace blobs
