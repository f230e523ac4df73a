// Millisecond ticks and errno helpers shared by the I/O framework and its users.
#ifndef ZQ_OS_UTIL_H
#define ZQ_OS_UTIL_H

#include "common_header.h"

// Wall-clock milliseconds truncated to 32 bits: it wraps about every 49.7 days
// and jumps with the clock, so callers compare ticks defensively.
uint32 GetTickCount();

// The calling thread's errno and its text.
sint32 GetLastError();
const char* GetLastErrorMsg();

#endif
