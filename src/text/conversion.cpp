// Character-set conversion through the host, and the holders and copies of host handles.
//
// Sizes are computed in 64 bits throughout: a result that would pass 2,147,483,647 bytes or units
// fails the way a conversion already fails (the empty result, a null handle) instead of wrapping.
// Every resize the host may refuse is checked before a byte is written.

#include "text/conversion.h"

#include <cstring>
#include <new>
#include <type_traits>

namespace {

// A UTF-16 source of this many units or more has a byte count that does not fit in 31 bits.
constexpr int64_t kMaxUnits = int64_t{1} << 30;

struct EncodingBytes {
  PA_4DCharSet charSet;
  int maxBytes;
};

// The character sets that can be converted to, with the largest number of bytes one UTF-16 unit
// (or one source byte) becomes in them: it sizes every conversion buffer.
constexpr EncodingBytes sEncodingBytes[] = {
    {kCharSet100, 1},
    {kCharSet1005, 1},
    {kCharSetUTF8, 3},
    {kCharSetUTF16, 2},
};

int64_t measure(const char* bytes) {
  int64_t n = 0;
  while (n < kMaxLength && bytes[n] != 0) ++n;
  return n;
}

int64_t measure(const unsigned short* units) { return PA_GetUnicharsLength(units); }

// A buffer the machine cannot give is a conversion that fails like any other: quietly.
template <typename Result>
bool allocate(Result& result, int64_t elements) {
  try {
    result.allocBytes(elements);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

// One zero element, length 0: what every failed or empty conversion answers.
template <typename Result>
Result emptyResult() {
  Result result;
  result.allocBytes(1);
  result.chars[0] = 0;
  result.length = 0;
  return result;
}

// A conversion between equal character sets: the source's bytes as they are. One zero element
// follows them, outside `length`, so that the buffer can still be read as a C string.
template <typename Source, typename Result>
Result plainCopy(const Source* source, int64_t len) {
  constexpr int64_t kElement = sizeof(std::remove_pointer_t<decltype(Result::chars)>);
  const int64_t sourceBytes = len * static_cast<int64_t>(sizeof(Source));
  const int64_t elements = (sourceBytes + kElement - 1) / kElement;
  Result result;
  if (!allocate(result, elements + 1)) return emptyResult<Result>();
  std::memset(result.chars, 0, static_cast<size_t>((elements + 1) * kElement));
  std::memcpy(result.chars, source, static_cast<size_t>(sourceBytes));
  result.length = static_cast<int32_t>(sourceBytes / kElement);
  return result;
}

// One allocation of the worst case (len elements times the target's maximum, plus the
// terminator) and one host call.
template <typename Source, typename Result>
Result hostConversion(const Source* source, int64_t len, PA_4DCharSet from, PA_4DCharSet to,
                      int maxBytes) {
  constexpr int64_t kElement = sizeof(std::remove_pointer_t<decltype(Result::chars)>);
  const int64_t capacity = len * maxBytes + kElement;
  if (capacity > kMaxLength) return emptyResult<Result>();
  const int64_t elements = (capacity + kElement - 1) / kElement;
  Result result;
  if (!allocate(result, elements)) return emptyResult<Result>();
  const int64_t sourceBytes = len * static_cast<int64_t>(sizeof(Source));
  int64_t written = PA_ConvertCharsetToCharset(source, static_cast<int32_t>(sourceBytes), from,
                                               result.chars, static_cast<int32_t>(capacity), to);
  // The table's maxima bound what the host writes; a host that wrote more must still leave room
  // for the terminator.
  const int64_t room = (elements - 1) * kElement;
  if (written < 0) written = 0;
  if (written > room) written = room;
  result.length = static_cast<int32_t>(written / kElement);
  result.chars[result.length] = 0;
  return result;
}

}  // namespace

int maxBytesPerUnit(PA_4DCharSet to) {
  for (const EncodingBytes& row : sEncodingBytes) {
    if (row.charSet == to) return row.maxBytes;
  }
  return 0;
}

template <typename Source, typename Result>
Result convertChars(const Source* source, int len, PA_4DCharSet from, PA_4DCharSet to) {
  if (source == nullptr || len == 0) return emptyResult<Result>();
  int64_t count = len < 0 ? measure(source) : len;
  if (count == 0) return emptyResult<Result>();
  if (std::is_same_v<Source, unsigned short> && count >= kMaxUnits) return emptyResult<Result>();
  if (from == to) return plainCopy<Source, Result>(source, count);
  int maxBytes = maxBytesPerUnit(to);
  if (maxBytes == 0) return emptyResult<Result>();
  return hostConversion<Source, Result>(source, count, from, to, maxBytes);
}

template EncodedChars convertChars<char, EncodedChars>(const char*, int, PA_4DCharSet,
                                                       PA_4DCharSet);
template EncodedChars convertChars<unsigned short, EncodedChars>(const unsigned short*, int,
                                                                 PA_4DCharSet, PA_4DCharSet);
template DecodedChars convertChars<char, DecodedChars>(const char*, int, PA_4DCharSet,
                                                       PA_4DCharSet);

EncodedChars convertToChars(const char* bytes, int len, PA_4DCharSet from, PA_4DCharSet to) {
  return convertChars<char, EncodedChars>(bytes, len, from, to);
}

EncodedChars convertToChars(const unsigned short* units, int len, PA_4DCharSet to) {
  return convertChars<unsigned short, EncodedChars>(units, len, kCharSetUTF16, to);
}

DecodedChars convertToUnicode(const char* bytes, int len, PA_4DCharSet from) {
  return convertChars<char, DecodedChars>(bytes, len, from, kCharSetUTF16);
}

Exactness exactnessOf(const unsigned short* units, int len, const EncodedChars& bytes,
                      PA_4DCharSet charset) {
  if (units == nullptr || len <= 0) return Exactness::kExact;
  DecodedChars back = convertToUnicode(bytes.chars, bytes.length, charset);
  // Some bytes always give some unit: none at all is a refusal.
  if (bytes.length > 0 && back.length <= 0) return Exactness::kRefused;
  bool same =
      back.length == len &&
      std::memcmp(back.chars, units, static_cast<size_t>(len) * sizeof(unsigned short)) == 0;
  return same ? Exactness::kExact : Exactness::kInexact;
}

int64_t decodeInto(const char* bytes, int32_t n, PA_4DCharSet from, PA_Unichar* out) {
  if (n <= 0 || n > kMaxLength / 2) return -1;
  int32_t written = PA_ConvertCharsetToCharset(bytes, n, from, out, 2 * n, kCharSetUTF16);
  // Some bytes always give some unit: none at all is a refusal, whatever the error says.
  if (PA_GetLastError() != 0 || written <= 0 || written > 2 * n) return -1;
  return written / 2;
}

// ---- toCharsHandle --------------------------------------------------------------------------

namespace {

// Converts the text into h, which holds `size` bytes, and answers the number of bytes written,
// never more than `room`.
int64_t convertIntoHandle(const PA_Unistring& text, int64_t units, PA_4DCharSet to, HostHandle h,
                          int64_t size, int64_t room) {
  unique_handle_lock lock(h);
  if (lock.data() == nullptr || units == 0) return 0;
  int64_t written =
      PA_ConvertCharsetToCharset(text.fString, static_cast<int32_t>(2 * units), kCharSetUTF16,
                                 lock.data(), static_cast<int32_t>(size), to);
  if (written < 0) return 0;
  return written > room ? room : written;
}

}  // namespace

HostHandle toCharsHandle(const PA_Unistring& text, PA_4DCharSet to, ETerminationPolicy policy) {
  const int64_t maxBytes = maxBytesPerUnit(to);
  const int64_t units = text.fLength > 0 && text.fString != nullptr ? text.fLength : 0;
  const int64_t terminator = policy == kTerminationZero ? 1 : 0;
  const int64_t size = units * maxBytes + terminator * maxBytes;
  if (size > kMaxLength || units >= kMaxUnits) return nullptr;
  unique_handle h(PA_NewHandle(static_cast<int32_t>(size)));
  if (!h) return nullptr;
  if (maxBytes == 0) return h.release();
  const int64_t written = convertIntoHandle(text, units, to, h.get(), size, size - terminator);
  // A shrink the host refuses would leave bytes the caller never asked for: no handle instead.
  if (!PA_SetHandleSize(h.get(), static_cast<int32_t>(written + terminator))) return nullptr;
  if (size > 0 && terminator != 0) (*h.get())[written] = 0;
  return h.release();
}

// ---- Handle holders -------------------------------------------------------------------------

void unique_handle::reset(HostHandle handle) {
  if (handle_ != nullptr && handle_ != handle) PA_DisposeHandle(handle_);
  handle_ = handle;
}

unique_handle_lock::unique_handle_lock(HostHandle handle) : handle_(handle) {
  if (handle_ != nullptr) data_ = PA_LockHandle(handle_);
}

unique_handle_lock::~unique_handle_lock() {
  if (handle_ != nullptr) PA_UnlockHandle(handle_);
}

// ---- Handle copies --------------------------------------------------------------------------

namespace {

// Grows h from size by n bytes, n cut so that the handle stays within 2,147,483,647 bytes.
// Answers the number of bytes added, 0 when the host refuses.
int64_t growHandle(HostHandle h, int64_t size, int64_t n) {
  if (size + n > kMaxLength) n = kMaxLength - size;
  if (n <= 0) return 0;
  if (!PA_SetHandleSize(h, static_cast<int32_t>(size + n))) return 0;
  return n;
}

// A handle appended to itself: it cannot be locked while it grows, so it grows first and the
// copy reads the moved bytes afterwards.
int32_t appendHandleToItself(HostHandle h) {
  const int64_t size = PA_GetHandleSize(h);
  const int64_t added = growHandle(h, size, size);
  if (added > 0) std::memcpy(*h + size, *h, static_cast<size_t>(added));
  return static_cast<int32_t>(size + added);
}

}  // namespace

int32_t appendToHandle(HostHandle h, const void* bytes, int64_t n) {
  if (h == nullptr || bytes == nullptr) return 0;
  const int64_t size = PA_GetHandleSize(h);
  const int64_t added = n > 0 ? growHandle(h, size, n) : 0;
  // The master pointer is read after the resize: the bytes may have moved.
  if (added > 0) std::memcpy(*h + size, bytes, static_cast<size_t>(added));
  return static_cast<int32_t>(size + added);
}

int32_t appendToHandle(HostHandle dst, HostHandle src) {
  if (dst == nullptr) return 0;
  if (src == dst) return appendHandleToItself(dst);
  const int32_t n = src != nullptr ? PA_GetHandleSize(src) : 0;
  if (n <= 0) return PA_GetHandleSize(dst);
  unique_handle_lock lock(src);
  if (lock.data() == nullptr) return PA_GetHandleSize(dst);
  return appendToHandle(dst, lock.data(), n);
}

int32_t copyToHandle(const void* bytes, int64_t n, HostHandle dst) {
  if (dst == nullptr) return 0;
  PA_SetHandleSize(dst, 0);
  return appendToHandle(dst, bytes, n);
}

int32_t copyToHandle(HostHandle src, HostHandle dst) {
  if (dst == nullptr) return 0;
  // A handle copied onto itself already holds the copy; emptying it first would lose it.
  if (src == dst) return PA_GetHandleSize(dst);
  PA_SetHandleSize(dst, 0);
  return appendToHandle(dst, src);
}
