#include "os_util.h"

#include <sys/time.h>

#include <cerrno>
#include <cstring>

uint32 GetTickCount() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    uint64 ms = static_cast<uint64>(tv.tv_sec) * 1000 + static_cast<uint64>(tv.tv_usec) / 1000;
    return static_cast<uint32>(ms);
}

sint32 GetLastError() { return errno; }

const char* GetLastErrorMsg() { return strerror(errno); }
