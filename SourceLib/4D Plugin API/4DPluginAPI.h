// The plug-in's side of the border with the 4D host.
//
// Everything the host asks of the plug-in arrives through FourDPackex; everything the plug-in
// asks of the host goes through the one callback whose address the host hands over at start-up
// (gCall4D). Each PA_ wrapper fills a HostCallBlock on its own stack, zeroes its error, calls the
// host and copies the error into the calling thread's sErrorCode (PA_GetLastError). No wrapper
// raises, retries or reports further: a failure shows as a null answer, a false result or a
// non-zero PA_GetLastError(), which the caller tests where it matters.
//
// The wrappers keep no state and take no lock; they may be called on any host thread. Those that
// yield (PA_Yield, PA_YieldAbsolute, PA_PutProcessToSleep) let other 4D processes enter the
// plug-in before they return.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "4DPluginTypes.h"

// ---- Entry point and host calls -------------------------------------------------------------

extern "C" {
// Exported under exactly this name. params is the HostStartupRecord on selectors -1 and -200 and
// the parameter array otherwise; data is passed on unread.
__attribute__((visibility("default"))) void FourDPackex(int32_t selector, void* params, void* data,
                                                        void* result);
}

// The dispatcher (src/plugin/zuv.cpp), called by FourDPackex for every selector.
void PluginMain(int32_t selector, PluginBlock* block);

// The host's call function, null until the first start-up selector. Before it is set, every
// wrapper acts as a failed host call (kHostUnreachable) instead of calling through null.
extern HostCallback gCall4D;
// The host's version word, kept whole.
extern uint32_t g4DVersion;

// The error the host answered to the calling thread's last host call, sign-extended.
int PA_GetLastError();

// The one door to the host: zeroes block.error, calls the host with the entry and returns the
// error it answered. It does not touch sErrorCode: the wrappers decide where the error goes.
int16_t callHost(int32_t entry, HostCallBlock& block);
// Stores an error as the calling thread's last one.
void setLastError(int16_t error);

// What a wrapper answers when there is no host to call: start-up has not run yet.
constexpr int16_t kHostUnreachable = -32768;

// ---- Handles (entry -434) -------------------------------------------------------------------

HostHandle PA_NewHandle(int32_t size);
void PA_DisposeHandle(HostHandle handle);
bool PA_SetHandleSize(HostHandle handle, int32_t size);
int32_t PA_GetHandleSize(HostHandle handle);
char* PA_LockHandle(HostHandle handle);
void PA_UnlockHandle(HostHandle handle);

// ---- Texts ----------------------------------------------------------------------------------

PA_Unistring PA_CreateUnistring(const PA_Unichar* units);
// Sets the text to the units up to their zero unit.
void PA_SetUnistring(PA_Unistring* text, const PA_Unichar* units);
// Sets the text to length units, zero units among them included: flag1 = 1 tells the host that
// param1 holds the count. The units must still be followed by a zero unit, so that a host that
// reads only up to it stops there (and cuts the text at its first zero unit) instead of reading
// on.
void PA_SetUnistringUnits(PA_Unistring* text, const PA_Unichar* units, int32_t length);
void PA_DisposeUnistring(PA_Unistring* text);
int8_t PA_CompareUnichars(const PA_Unichar* a, const PA_Unichar* b, int8_t option3, int8_t option4);
int PA_GetUnicharsLength(const PA_Unichar* units);

// ---- Pictures -------------------------------------------------------------------------------

HostPicture PA_CreatePicture(const void* bytes, int32_t size);
PA_Unistring PA_GetPictureData(HostPicture picture, int32_t index, HostHandle handle);

// ---- Character sets -------------------------------------------------------------------------

int32_t PA_ConvertCharsetToCharset(const void* source, int32_t sourceSize, PA_4DCharSet from,
                                   void* destination, int32_t capacity, PA_4DCharSet to);

// ---- Processes and time ---------------------------------------------------------------------

void PA_PutProcessToSleep(int32_t process, int32_t ticks);
int32_t PA_GetCurrentProcessNumber();
void PA_Yield();
void PA_YieldAbsolute();

// Sleeps the current process for ticks (1/60 s); 0 or less yields once instead.
void delay(int32_t ticks);
// t + seconds, where t = 0 stands for the current time.
time_t addSeconds(time_t t, int32_t seconds);

// ---- Command parameters and results ---------------------------------------------------------

int16_t PA_GetShortParameter(PluginBlock* block, int index);
int32_t PA_GetLongParameter(PluginBlock* block, int index);
int32_t PA_GetTimeParameter(PluginBlock* block, int index);
PA_Unistring* PA_GetStringParameter(PluginBlock* block, int index);
HostPicture PA_GetPictureParameter(PluginBlock* block, int index);
HostHandle PA_GetBlobHandleParameter(PluginBlock* block, int index);
HostHandle* PA_GetBlobHandlePtrParameter(PluginBlock* block, int index);
void PA_GetDateParameter(PluginBlock* block, int index, int16_t* day, int16_t* month,
                         int16_t* year);

void PA_SetShortParameter(PluginBlock* block, int index, int16_t value);
void PA_SetLongParameter(PluginBlock* block, int index, int32_t value);
void PA_SetTimeParameter(PluginBlock* block, int index, int32_t value);
void PA_SetDateParameter(PluginBlock* block, int index, int16_t day, int16_t month, int16_t year);
// Gives BLOB parameter index the contents of handle; the caller gives handle up. When the cell
// already holds another handle, that handle receives the bytes and handle is disposed. A refused
// resize leaves the cell's bytes as they were (and still disposes handle).
void PA_SetBlobHandleParameter(PluginBlock* block, int index, HostHandle handle);

void PA_ReturnLong(PluginBlock* block, int32_t value);
void PA_ReturnString(PluginBlock* block, const PA_Unichar* units);
void PA_ReturnPicture(PluginBlock* block, HostPicture picture);
void PA_ReturnBlobHandle(PluginBlock* block, HostHandle handle);

// ---- Variables, arrays and host commands ----------------------------------------------------

#include "4DPluginAPI_variables.h"
