// CReadBuffer: a fixed array that received bytes are appended to and from
// which whole messages are consumed at the front. Consumed space is reclaimed
// lazily: the unconsumed bytes move to the start only when the free-space
// pointer is asked for. Owns its array; never grows unless Resize is called.
// Refusals come back as -1 with the buffer unchanged.
#ifndef ZQ_READ_BUFFER_H
#define ZQ_READ_BUFFER_H

#include "common_header.h"

#define AIO_STRINGIFY_(x) #x
#define AIO_STRINGIFY(x) AIO_STRINGIFY_(x)
// Stops the process with the failed condition as text, in every build type:
// set-up allocation failures and broken handler contracts are not recoverable.
// The condition is macro-expanded before it is turned into text, so a null
// comparison reads "p != __null".
#define AIO_ASSERT(cond) \
    ((cond) ? static_cast<void>(0) : AioAssertFail(AIO_STRINGIFY(cond), __FILE__, __LINE__, __PRETTY_FUNCTION__))

// Writes "file:line: function: Assertion `condition' failed." to standard
// error and aborts.
[[noreturn]] void AioAssertFail(const char* pszCond, const char* pszFile, int iLine, const char* pszFunction);

class CReadBuffer {
public:
    explicit CReadBuffer(uint32 iBufSize);
    ~CReadBuffer();

    uint32 GetBufSize() const { return m_iBufSize; }
    uint32 GetDataSize() const { return m_iFreeSpaceOffset - m_iDataOffset; }
    char* GetDataPtr();
    // The consumed head and the tail together.
    uint32 GetFreeSpaceSize() const { return m_iDataOffset + (m_iBufSize - m_iFreeSpaceOffset); }
    // Compacts first, so exactly GetFreeSpaceSize() contiguous bytes follow it.
    char* GetFreeSpacePtr();
    // Records bytes the caller wrote at the free-space pointer.
    sint32 IncDataSize(uint32 iIncSize);
    sint32 AddData(const void* pData, uint32 iDataSize);
    sint32 RemoveData(uint32 iRemoveDataSize);
    void Reset();
    void Shift();
    void Resize(uint32 iNewSize);

private:
    CReadBuffer(const CReadBuffer&) = delete;
    CReadBuffer& operator=(const CReadBuffer&) = delete;

    uint32 m_iBufSize;
    char* m_pBuf;
    uint32 m_iDataOffset;
    uint32 m_iFreeSpaceOffset;
};

#endif
