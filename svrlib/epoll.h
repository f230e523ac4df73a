// Thin wrappers of the epoll system calls. Each makes the system call itself
// and, like the C library's versions, returns -1 with errno set on failure.
// Level-triggered use only; nothing here logs.
#ifndef ZQ_EPOLL_H
#define ZQ_EPOLL_H

#include <sys/epoll.h>

#include "common_header.h"

// iSizeHint must be positive, as the kernel demands for the sized form.
sint32 zq_epoll_create(sint32 iSizeHint);
sint32 zq_epoll_ctl(sint32 iEpollFd, sint32 iOp, sint32 iFd, struct epoll_event* pEvent);
// iTimeoutMs -1 waits for ever, 0 polls.
sint32 zq_epoll_wait(sint32 iEpollFd, struct epoll_event* pEvents, sint32 iMaxEvents, sint32 iTimeoutMs);

#endif
