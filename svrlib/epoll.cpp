#include "epoll.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

sint32 zq_epoll_create(sint32 iSizeHint) {
#ifdef SYS_epoll_create
    return static_cast<sint32>(syscall(SYS_epoll_create, iSizeHint));
#else
    // Architectures without the sized call only have epoll_create1; keep the
    // sized call's refusal of a non-positive hint.
    if (iSizeHint <= 0) {
        errno = EINVAL;
        return -1;
    }
    return static_cast<sint32>(syscall(SYS_epoll_create1, 0));
#endif
}

sint32 zq_epoll_ctl(sint32 iEpollFd, sint32 iOp, sint32 iFd, struct epoll_event* pEvent) {
    return static_cast<sint32>(syscall(SYS_epoll_ctl, iEpollFd, iOp, iFd, pEvent));
}

sint32 zq_epoll_wait(sint32 iEpollFd, struct epoll_event* pEvents, sint32 iMaxEvents, sint32 iTimeoutMs) {
#ifdef SYS_epoll_wait
    return static_cast<sint32>(syscall(SYS_epoll_wait, iEpollFd, pEvents, iMaxEvents, iTimeoutMs));
#else
    return static_cast<sint32>(syscall(SYS_epoll_pwait, iEpollFd, pEvents, iMaxEvents, iTimeoutMs, nullptr, 0));
#endif
}
