// Character-set conversion through the host, and the holders and copies of host handles.
//
// Texts inside the plug-in are UTF-16 as the host gives them; the network, files, digests,
// ciphers and BLOBs want bytes. Every conversion goes through the host's -675 entry, sized from
// sEncodingBytes in one allocation of the worst case, and hands back an owned buffer
// (EncodedChars, DecodedChars) or a new host handle (toCharsHandle). Nothing here keeps state.
#pragma once

#include <cstdint>
#include <utility>

#include "4DPluginAPI.h"

// An owned buffer of converted text: `length` elements of T hold it, zero-terminated except when
// a conversion between equal character sets made a plain copy.
template <typename T>
class ConvertedChars {
 public:
  ConvertedChars() = default;
  ~ConvertedChars() { delete[] chars; }
  ConvertedChars(ConvertedChars&& other) noexcept
      : chars(std::exchange(other.chars, nullptr)), length(std::exchange(other.length, 0)) {}
  ConvertedChars& operator=(ConvertedChars&& other) noexcept {
    if (this != &other) {
      delete[] chars;
      chars = std::exchange(other.chars, nullptr);
      length = std::exchange(other.length, 0);
    }
    return *this;
  }
  ConvertedChars(const ConvertedChars&) = delete;
  ConvertedChars& operator=(const ConvertedChars&) = delete;

  // Replaces the buffer by max(n, 1) elements of undefined contents; leaves length alone.
  void allocBytes(int64_t n) {
    delete[] chars;
    chars = nullptr;
    chars = new T[n > 1 ? static_cast<size_t>(n) : 1];
  }

  T* chars = nullptr;
  int32_t length = 0;
};

using EncodedChars = ConvertedChars<char>;
using DecodedChars = ConvertedChars<unsigned short>;

// The one algorithm behind the conversions. len counts source elements (bytes or UTF-16 units);
// a negative len measures the source up to its first zero. Never fails loudly: a null or empty
// source, a target that cannot be converted to, or a size past 32 bits gives the empty result
// (one zero element, length 0).
template <typename Source, typename Result>
Result convertChars(const Source* source, int len, PA_4DCharSet from, PA_4DCharSet to);
// The three forms there are, made in conversion.cpp.
extern template EncodedChars convertChars<char, EncodedChars>(const char*, int, PA_4DCharSet,
                                                              PA_4DCharSet);
extern template EncodedChars convertChars<unsigned short, EncodedChars>(const unsigned short*, int,
                                                                        PA_4DCharSet, PA_4DCharSet);
extern template DecodedChars convertChars<char, DecodedChars>(const char*, int, PA_4DCharSet,
                                                              PA_4DCharSet);

EncodedChars convertToChars(const char* bytes, int len, PA_4DCharSet from, PA_4DCharSet to);
EncodedChars convertToChars(const unsigned short* units, int len, PA_4DCharSet to);
DecodedChars convertToUnicode(const char* bytes, int len, PA_4DCharSet from);
// Decodes n bytes (n > 0) into out, which has room for n units, the most that n bytes of any
// character set become; answers the units written, or -1 when the host refused the conversion.
// Nothing is terminated: a caller that decodes a text piece by piece joins the pieces itself.
int64_t decodeInto(const char* bytes, int32_t n, PA_4DCharSet from, PA_Unichar* out);

// How `bytes`, the conversion of len units into `charset`, give the units back: the very units
// (exact; no units at all are exact too); other units (inexact: a character that the character
// set lacks, which the host makes '?', or an unpaired surrogate); or none, when the host refused
// the conversion back, so that exactness is unknown. One host call.
enum class Exactness { kExact, kInexact, kRefused };
Exactness exactnessOf(const unsigned short* units, int len, const EncodedChars& bytes,
                      PA_4DCharSet charset);

// The largest number of bytes one UTF-16 unit (or one source byte) becomes in `to`; 0 when `to`
// cannot be converted to.
int maxBytesPerUnit(PA_4DCharSet to);

enum ETerminationPolicy { kTerminationNone = 0, kTerminationZero = 1 };

// The text's bytes in character set `to`, in a new handle the caller owns; null when the host
// has no memory or the size would pass 2,147,483,647 bytes.
HostHandle toCharsHandle(const PA_Unistring& text, PA_4DCharSet to, ETerminationPolicy policy);

// Owns one host handle (or none) and disposes it.
class unique_handle {
 public:
  unique_handle() = default;
  explicit unique_handle(HostHandle handle) : handle_(handle) {}
  ~unique_handle() { reset(); }
  unique_handle(unique_handle&& other) noexcept : handle_(other.release()) {}
  unique_handle& operator=(unique_handle&& other) noexcept {
    reset(other.release());
    return *this;
  }
  unique_handle(const unique_handle&) = delete;
  unique_handle& operator=(const unique_handle&) = delete;

  HostHandle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Disposes the handle held unless it is `handle` itself, then holds `handle`.
  void reset(HostHandle handle = nullptr);
  // Gives the handle up, for a hand-over to the host.
  HostHandle release() { return std::exchange(handle_, nullptr); }

 private:
  HostHandle handle_ = nullptr;
};

// Keeps a handle locked for a scope, so that the address of its bytes stays put.
class unique_handle_lock {
 public:
  explicit unique_handle_lock(HostHandle handle);
  ~unique_handle_lock();
  unique_handle_lock(const unique_handle_lock&) = delete;
  unique_handle_lock& operator=(const unique_handle_lock&) = delete;
  char* data() const { return data_; }

 private:
  HostHandle handle_;
  char* data_ = nullptr;
};

// Appends n bytes to h and answers the new size. A handle never grows past 2,147,483,647 bytes:
// the surplus is dropped. A refused resize writes nothing and answers the old size; a null h or
// bytes, or n <= 0, changes nothing.
int32_t appendToHandle(HostHandle h, const void* bytes, int64_t n);
int32_t appendToHandle(HostHandle dst, HostHandle src);
// dst's contents become the n bytes (or src's bytes); answers the new size.
int32_t copyToHandle(const void* bytes, int64_t n, HostHandle dst);
int32_t copyToHandle(HostHandle src, HostHandle dst);
