// The host's records as the host itself lays them out, by byte offset. These constants are the
// host's own and deliberately independent of the plug-in's headers: a layout mistake on either
// side then shows as a wrong answer instead of two matching mistakes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace host::layout {

// The start-up record handed over with selectors -1 and -200.
constexpr size_t kStartupSize = 64;
constexpr size_t kStartupHostVersion = 0;        // uint32, read by the plug-in
constexpr size_t kStartupInterfaceVersion = 20;  // int32, written by the plug-in
constexpr size_t kStartupCallback = 24;          // pointer, read by the plug-in

// The call block of every host entry: 1528 bytes, packed on 2-byte boundaries.
constexpr size_t kCallBlockSize = 1528;
constexpr size_t kUniString = 0x400;  // 20
constexpr size_t kPicture = 0x428;    // 8
constexpr size_t kPointer1 = 0x430;   // 8
constexpr size_t kPointer2 = 0x438;   // 8
constexpr size_t kTable = 0x448;      // int16
constexpr size_t kFlag1 = 0x450;      // uint8
constexpr size_t kFlag2 = 0x451;      // uint8
constexpr size_t kHandle = 0x552;     // 8, unaligned
constexpr size_t kError = 0x55A;      // int16
constexpr size_t kParam1 = 0x55C;     // int64 each, unaligned
constexpr size_t kParam2 = 0x564;
constexpr size_t kParam3 = 0x56C;
constexpr size_t kParam4 = 0x574;

// The text record: length in units, the units' address, 8 host-private bytes.
constexpr size_t kTextSize = 20;
constexpr size_t kTextLength = 0;
constexpr size_t kTextUnits = 4;
constexpr size_t kTextId = 12;                    // private: the host's text number
constexpr size_t kTextMagic = 16;                 // private: marks a record the host made
constexpr uint32_t kTextMagicValue = 0x54584554;  // "TEXT"

// The variable record: kind, zero byte, value; arrays keep count, storage and current element.
constexpr size_t kVariableSize = 260;
constexpr size_t kVariableKind = 0;
constexpr size_t kVariableValue = 2;
constexpr size_t kArrayCount = 2;     // int32
constexpr size_t kArrayStorage = 6;   // handle
constexpr size_t kArrayCurrent = 14;  // int16
constexpr size_t kArrayHeadSize = 16;
constexpr size_t kHostFormMagic = 6;  // kinds 2 and 24: text number @2, this magic @6
constexpr uint32_t kHostFormMagicValue = 0x4D524F46;  // "FORM"

constexpr size_t kDateSize = 6;

template <typename T>
T load(const void* base, size_t offset) {
  T value;
  std::memcpy(&value, static_cast<const unsigned char*>(base) + offset, sizeof value);
  return value;
}

template <typename T>
void store(void* base, size_t offset, T value) {
  std::memcpy(static_cast<unsigned char*>(base) + offset, &value, sizeof value);
}

inline void* loadPointer(const void* base, size_t offset) { return load<void*>(base, offset); }

}  // namespace host::layout
