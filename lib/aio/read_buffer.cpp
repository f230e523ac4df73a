#include "read_buffer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

void AioAssertFail(const char* pszCond, const char* pszFile, int iLine, const char* pszFunction) {
    fprintf(stderr, "%s:%d: %s: Assertion `%s' failed.\n", pszFile, iLine, pszFunction, pszCond);
    fflush(stderr);
    abort();
}

CReadBuffer::CReadBuffer(uint32 iBufSize)
    : m_iBufSize(iBufSize), m_pBuf(nullptr), m_iDataOffset(0), m_iFreeSpaceOffset(0) {
    if (iBufSize != 0) {
        m_pBuf = new (std::nothrow) char[iBufSize];
        AIO_ASSERT(m_pBuf != NULL);
    }
}

CReadBuffer::~CReadBuffer() { delete[] m_pBuf; }

char* CReadBuffer::GetDataPtr() {
    if (GetDataSize() == 0) return nullptr;
    return m_pBuf + m_iDataOffset;
}

char* CReadBuffer::GetFreeSpacePtr() {
    if (GetFreeSpaceSize() == 0) return nullptr;
    Shift();
    return m_pBuf + m_iFreeSpaceOffset;
}

sint32 CReadBuffer::IncDataSize(uint32 iIncSize) {
    if (iIncSize > m_iBufSize - m_iFreeSpaceOffset) return -1;
    m_iFreeSpaceOffset += iIncSize;
    return 0;
}

sint32 CReadBuffer::AddData(const void* pData, uint32 iDataSize) {
    if (iDataSize > GetFreeSpaceSize()) return -1;
    if (iDataSize == 0) return 0;
    if (pData == nullptr) return -1;
    char* pFree = GetFreeSpacePtr();
    memcpy(pFree, pData, iDataSize);
    m_iFreeSpaceOffset += iDataSize;
    return 0;
}

sint32 CReadBuffer::RemoveData(uint32 iRemoveDataSize) {
    if (iRemoveDataSize > GetDataSize()) return -1;
    m_iDataOffset += iRemoveDataSize;
    // An emptied buffer rewinds without moving anything.
    if (m_iDataOffset == m_iFreeSpaceOffset) {
        m_iDataOffset = 0;
        m_iFreeSpaceOffset = 0;
    }
    return 0;
}

void CReadBuffer::Reset() {
    m_iDataOffset = 0;
    m_iFreeSpaceOffset = 0;
}

void CReadBuffer::Shift() {
    if (m_iDataOffset == 0) return;
    uint32 iDataSize = GetDataSize();
    if (iDataSize != 0) memmove(m_pBuf, m_pBuf + m_iDataOffset, iDataSize);
    m_iFreeSpaceOffset = iDataSize;
    m_iDataOffset = 0;
}

void CReadBuffer::Resize(uint32 iNewSize) {
    if (m_pBuf == nullptr) {
        if (iNewSize == 0) return;
        m_pBuf = new (std::nothrow) char[iNewSize];
        AIO_ASSERT(m_pBuf != NULL);
        m_iBufSize = iNewSize;
        m_iDataOffset = 0;
        m_iFreeSpaceOffset = 0;
        return;
    }
    Shift();
    if (iNewSize <= m_iBufSize) return;
    char* pNewBuf = new (std::nothrow) char[iNewSize];
    AIO_ASSERT(pNewBuf != NULL);
    memcpy(pNewBuf, m_pBuf, m_iFreeSpaceOffset);
    delete[] m_pBuf;
    m_pBuf = pNewBuf;
    m_iBufSize = iNewSize;
}
