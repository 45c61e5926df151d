// Host variables, arrays and host language commands run by number.
//
// 4D keeps every value of its language in a PA_Variable record: a kind byte, a zero byte and a
// value laid out by kind. Array parameters reach commands as such records; host commands take
// their arguments and give their answer in them. What a variable or an array element holds (a
// text, picture, handle, object or sub-array) belongs to it: the host releases it when the
// variable is cleared, and the array wrappers release the elements they drop.
//
// The wrappers keep no state and never yield; each host call sets the calling thread's error
// (PA_GetLastError) except where a function says otherwise.
#pragma once

#include "4DPluginTypes.h"

typedef int8_t PA_VariableKind;
typedef void* PA_ObjectRef;

// The kinds the plug-in meets. Kinds 2 and 24 hold a text in a form only the host reads.
constexpr PA_VariableKind kVariableUndefined = 0;
constexpr PA_VariableKind kVariableHostText = 2;
constexpr PA_VariableKind kVariableNoValue = 5;  // the answer slot of a host command
constexpr PA_VariableKind kVariableLongint = 9;
constexpr PA_VariableKind kVariablePicture = 10;
constexpr PA_VariableKind kVariableTime = 11;
constexpr PA_VariableKind kVariableArrayOfArrays = 13;
constexpr PA_VariableKind kVariableIntegerArray = 15;
constexpr PA_VariableKind kVariableLongintArray = 16;
constexpr PA_VariableKind kVariablePictureArray = 19;
constexpr PA_VariableKind kVariableBooleanArray = 22;  // one bit per element
constexpr PA_VariableKind kVariableOldHostText = 24;
constexpr PA_VariableKind kVariableBlob = 30;
constexpr PA_VariableKind kVariableBlobArray = 31;
constexpr PA_VariableKind kVariableLongintArray32 = 32;
constexpr PA_VariableKind kVariableText = 33;
constexpr PA_VariableKind kVariableTextArray = 34;
constexpr PA_VariableKind kVariableObject = 38;
constexpr PA_VariableKind kVariableObjectArray = 39;

// Where the value of a record lies, by kind (offsets from the start of the record).
constexpr size_t kVariableValueOffset = 2;        // every plain value
constexpr size_t kArrayCountOffset = 2;           // int32 element count
constexpr size_t kArrayStorageOffset = 6;         // HostHandle of elements 0..count
constexpr size_t kArrayCurrentOffset = 14;        // int16 current element
constexpr size_t kBlobVariableSizeOffset = 2;     // int32 size of a kind 30 value
constexpr size_t kBlobVariableHandleOffset = 6;   // its HostHandle
constexpr size_t kArrayOfArraysElementSize = 16;  // the head of an array record

// True for the array kinds: 13, 14, 15, 16, 17, 19, 20, 22, 31, 32, 34 and 39.
bool isArrayKind(PA_VariableKind kind);

// ---- Variables ------------------------------------------------------------------------------

// A new record of the kind with an empty value: an empty text (kinds 2, 33: the record becomes
// 33), an empty picture (3, 10: becomes 10), an empty BLOB (30), an array of count 0 with its
// element 0 (kind 18 becomes 34), zeros for the other kinds. Every byte the kind does not use is
// zero. When the host gives no storage, text or picture, that part of the value stays zero.
PA_Variable PA_CreateVariable(PA_VariableKind kind);

// These write the kind, the zero byte and the value, and call no host entry. A text record made
// by PA_SetStringVariable shares the units of `text`: whoever made the text releases it, and the
// record is not cleared.
void PA_SetStringVariable(PA_Variable* variable, PA_Unistring* text);
void PA_SetLongintVariable(PA_Variable* variable, int32_t value);
void PA_SetTimeVariable(PA_Variable* variable, int32_t seconds);
void PA_SetPictureVariable(PA_Variable* variable, HostPicture picture);

// The value of a time record (kind 11), 0 for any other kind. No host call.
int32_t PA_GetTimeVariable(PA_Variable variable);

// Has the host release what the variable holds (entry -410).
void PA_ClearVariable(PA_Variable* variable);

// Whether the host database runs compiled (entry -56): bit 27 of the host's flags when the
// flag's low byte is 0, bit 23 otherwise.
bool PA_IsCompiled(int32_t flag);

// ---- Arrays ---------------------------------------------------------------------------------

// The element count of an array record, -1 for a record of a kind that is no array kind.
int32_t PA_GetArrayNbElements(PA_Variable array);

// Sets the element count to n, releasing the elements a shrink drops and emptying those a growth
// adds. Nothing happens (and the host is not called) for a null record, a negative n, a kind that
// is no array kind, n equal to the count, a null storage handle or a storage that would pass
// 2,147,483,647 bytes. When the host refuses to enlarge the storage the count stays as it was.
void PA_ResizeArray(PA_Variable* array, int32_t n);

// Element accessors: they act only when the kind matches, 0 <= index <= count and the storage
// handle is not null; otherwise a getter answers 0 and a setter does nothing. Element 0 exists
// beside elements 1..count. They read and write through the master pointer without locking and
// never change the count.
int32_t PA_GetLongintInArray(PA_Variable array, int32_t index);              // kinds 16, 32
void PA_SetIntegerInArray(PA_Variable array, int32_t index, int16_t value);  // kind 15
void PA_SetLongintInArray(PA_Variable array, int32_t index, int32_t value);  // kinds 16, 32
// Replaces element index of a text array (kind 34): the old text is released, then the array
// takes over `text`, which the caller must no longer release. A null text changes nothing.
void PA_SetStringInArray(PA_Variable array, int32_t index, PA_Unistring* text);

// ---- Host commands --------------------------------------------------------------------------

// Runs host command `command` with `count` argument records (args: an array of pointers) and
// answers the host's error of the call. It does not set the thread's last error (only the clear
// of an unused answer does). When result is not null it receives the answer and the caller owns
// what it holds; otherwise the answer is released.
int executeCommand(int32_t command, PA_Variable** args, int count, PA_Variable* result);

// Runs host command `command` with `count` argument records lying one after another, and answers
// the command's answer; an answer in the host's own text form comes back as a text (kind 33).
// When the host gives no memory for the argument addresses, no command runs and the answer is a
// record of kind 0. The thread's last error is that of the command.
PA_Variable PA_ExecuteCommandByID(int32_t command, PA_Variable* args, int16_t count);

// A new empty host object, owned by the caller (released by clearing a kind 38 record holding
// it), or null when the host version has no objects or the host gives none.
PA_ObjectRef PA_CreateObject();
