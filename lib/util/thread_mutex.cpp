#include "thread_mutex.h"

#include "svr_log.h"

CThreadMutex::CThreadMutex() {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    pthread_mutex_init(&m_mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

CThreadMutex::~CThreadMutex() {
    int ret = pthread_mutex_destroy(&m_mutex);
    if (ret != 0) LOG_ERR("pthread_mutex_destroy error: %d", ret);
}

void CThreadMutex::Lock() {
    int ret = pthread_mutex_lock(&m_mutex);
    if (ret != 0) LOG_ERR("pthread_mutex_lock error: %d", ret);
}

void CThreadMutex::Unlock() {
    int ret = pthread_mutex_unlock(&m_mutex);
    if (ret != 0) LOG_ERR("pthread_mutex_unlock error: %d", ret);
}
