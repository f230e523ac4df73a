#include "thread.h"

#include "svr_log.h"

namespace {
// The CThread whose Run the calling thread executes, so Stop can tell a
// request from the worker itself without reading the handle it may race on.
thread_local const CThread* t_pRunning = nullptr;
}  // namespace

CThread::CThread() : m_hThread(), m_aThread(), m_bRun(false), m_bJoinable(false) {}

CThread::~CThread() { Stop(); }

sint32 CThread::Start() {
    if (m_bRun || m_bJoinable) return -1;
    m_bRun = true;
    // Set before the thread exists so the worker never sees it change.
    m_bJoinable = true;

    pthread_attr_init(&m_aThread);
    pthread_attr_setscope(&m_aThread, PTHREAD_SCOPE_SYSTEM);
    int ret = pthread_create(&m_hThread, &m_aThread, ThreadStart, this);
    pthread_attr_destroy(&m_aThread);
    if (ret != 0) {
        m_bRun = false;
        m_bJoinable = false;
        LOG_ERR("pthread_create error: %d", ret);
        return -1;
    }
    return 0;
}

void CThread::Stop() {
    m_bRun = false;
    // Joining itself would never return; the controller joins later.
    if (t_pRunning == this) return;
    if (!m_bJoinable) return;
    pthread_join(m_hThread, nullptr);
    m_bJoinable = false;
}

void* CThread::ThreadStart(void* arg) {
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr);
    CThread* pThread = static_cast<CThread*>(arg);
    t_pRunning = pThread;
    pThread->Run();
    t_pRunning = nullptr;
    return nullptr;
}
