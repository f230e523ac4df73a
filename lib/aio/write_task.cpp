#include "write_task.h"

#include <cstring>
#include <new>

#include "read_buffer.h"

CByteArrTask::CByteArrTask(const char* pData, uint32 iDataSize)
    : CWriteTaskBase(TASK_TYPE_BYTE_ARR, iDataSize), m_pBuf(nullptr) {
    if (iDataSize != 0 && pData != nullptr) {
        m_pBuf = new (std::nothrow) char[iDataSize];
        AIO_ASSERT(m_pBuf != NULL);
        memcpy(m_pBuf, pData, iDataSize);
    }
}

CByteArrTask::~CByteArrTask() { delete[] m_pBuf; }
