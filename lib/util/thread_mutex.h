// CThreadMutex: a non-recursive mutex. Failures of the underlying calls are
// written to the error log and otherwise ignored; nothing is returned.
// The mutex checks its owner, so a second Lock from the holding thread or an
// Unlock by another thread is logged and refused instead of hanging or
// releasing someone else's lock.
#ifndef ZQ_THREAD_MUTEX_H
#define ZQ_THREAD_MUTEX_H

#include <pthread.h>

class CThreadMutex {
public:
    CThreadMutex();
    ~CThreadMutex();

    void Lock();
    void Unlock();

private:
    pthread_mutex_t m_mutex;

    CThreadMutex(const CThreadMutex&) = delete;
    CThreadMutex& operator=(const CThreadMutex&) = delete;
};

#endif
