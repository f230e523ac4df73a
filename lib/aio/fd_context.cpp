#include "fd_context.h"

#include "os_util.h"

CFdContext::CFdContext(uint32 iReadBufSize)
    : m_iFd(-1),
      m_nFdType(FD_TYPE_NONE),
      m_ReadBuf(iReadBufSize),
      m_iLastAccessTime(0),
      m_iContType(0),
      m_iExtend(0),
      m_pPrev(nullptr),
      m_pNext(nullptr),
      m_iSeq(0) {
    // A defined value even before the first Init, so reading it is never undefined.
    m_RemoteAddr.Reset();
}

CFdContext::~CFdContext() { Reset(); }

void CFdContext::DestroyWriteTasks() {
    for (CWriteTaskBase* pTask : m_WriteTaskList) delete pTask;
    m_WriteTaskList.clear();
}

void CFdContext::Init(sint32 iFd, EFdType nFdType) {
    m_iFd = iFd;
    m_nFdType = nFdType;
    m_bReadDone = false;
    m_ReadBuf.Reset();
    DestroyWriteTasks();
    m_iLastAccessTime = 0;
    m_iContType = 0;
    m_iExtend = 0;
    m_pPrev = nullptr;
    m_pNext = nullptr;
    m_RemoteAddr.Reset();
    ++m_iSeq;
}

void CFdContext::RefreshAccessTime() { m_iLastAccessTime = GetTickCount(); }

sint32 CFdContext::RemoveReadData(uint32 iRemoveSize) {
    sint32 iAssert = m_ReadBuf.RemoveData(iRemoveSize);
    AIO_ASSERT(0 == iAssert);
    return 0;
}
