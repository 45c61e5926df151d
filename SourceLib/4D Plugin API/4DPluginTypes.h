// The records that cross the border with the 4D host, laid out byte for byte as the host
// expects them. They are wire formats: every offset is checked at compile time below.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint16_t PA_Unichar;
typedef char** HostHandle;
typedef void* HostPicture;
typedef int32_t PA_4DCharSet;

// Character sets the plug-in converts between (through the host).
constexpr PA_4DCharSet kCharSetUTF16 = 2;
constexpr PA_4DCharSet kCharSetUTF8 = 7;
constexpr PA_4DCharSet kCharSet100 = 100;
constexpr PA_4DCharSet kCharSet1005 = 1005;

// The most that a size, a length or a count reaches: a handle holds at most this many bytes, a
// text this many units, an array or a queue this many entries (all are signed 32-bit).
constexpr int64_t kMaxLength = 2147483647;

#pragma pack(push, 2)

// The host's text record: the units are the host's and stay followed by a zero unit.
struct PA_Unistring {
  int32_t fLength;             // UTF-16 units, without the terminating zero
  PA_Unichar* fString;         // the host's units
  unsigned char fReserved[8];  // host-private, copied along, never interpreted
};

struct PA_Date {
  int16_t fDay;
  int16_t fMonth;
  int16_t fYear;
};

// The record handed to the host on every call. Only the fields an entry reads are written;
// the reserved bytes carry whatever the stack held.
struct HostCallBlock {
  unsigned char reserved0[1024];
  PA_Unistring uniString;
  unsigned char reserved1[20];
  HostPicture picture;
  void* pointer1;
  void* pointer2;
  unsigned char reserved2[8];
  int16_t table;
  unsigned char reserved3[6];
  uint8_t flag1;
  uint8_t flag2;
  unsigned char reserved4[256];
  void* handle;
  int16_t error;
  int64_t param1;
  int64_t param2;
  int64_t param3;
  int64_t param4;
  unsigned char reserved5[124];
};

// The host's variable record: a kind byte, a zero byte and a value laid out by kind.
struct PA_Variable {
  int8_t fType;
  uint8_t fFiller;
  unsigned char fValue[258];
};

#pragma pack(pop)

static_assert(sizeof(PA_Unistring) == 20);
static_assert(offsetof(PA_Unistring, fString) == 4);
static_assert(offsetof(PA_Unistring, fReserved) == 12);
static_assert(sizeof(PA_Date) == 6);
static_assert(sizeof(PA_Variable) == 260);
static_assert(offsetof(PA_Variable, fValue) == 2);

static_assert(sizeof(HostCallBlock) == 1528);
static_assert(offsetof(HostCallBlock, uniString) == 0x400);
static_assert(offsetof(HostCallBlock, picture) == 0x428);
static_assert(offsetof(HostCallBlock, pointer1) == 0x430);
static_assert(offsetof(HostCallBlock, pointer2) == 0x438);
static_assert(offsetof(HostCallBlock, table) == 0x448);
static_assert(offsetof(HostCallBlock, flag1) == 0x450);
static_assert(offsetof(HostCallBlock, flag2) == 0x451);
static_assert(offsetof(HostCallBlock, handle) == 0x552);
static_assert(offsetof(HostCallBlock, error) == 0x55A);
static_assert(offsetof(HostCallBlock, param1) == 0x55C);
static_assert(offsetof(HostCallBlock, param2) == 0x564);
static_assert(offsetof(HostCallBlock, param3) == 0x56C);
static_assert(offsetof(HostCallBlock, param4) == 0x574);

typedef void (*HostCallback)(int32_t entry, HostCallBlock* block);

// The fields of the host's start-up record that the plug-in touches (little-endian).
constexpr size_t kStartupHostVersionOffset = 0;        // uint32, read
constexpr size_t kStartupInterfaceVersionOffset = 20;  // int32, written
constexpr size_t kStartupCallbackOffset = 24;          // pointer, read

// What FourDPackex builds for every call and hands to PluginMain.
struct PluginBlock {
  void** parameters;  // parameter i is element i - 1: the address of its cell
  void* result;       // the host's result area
  void* data;         // passed along, never read
};
