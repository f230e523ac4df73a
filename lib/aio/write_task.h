// Queued writes of one descriptor. A CByteArrTask owns a private copy of its
// bytes; a CRefedMemTask points at caller memory that must stay alive and
// unchanged until the operator reports the task written or dropped, and
// carries the caller's handle for that report. Tasks are destroyed through
// the virtual destructor by whoever owns the queue (CFdContext).
#ifndef ZQ_WRITE_TASK_H
#define ZQ_WRITE_TASK_H

#include <list>

#include "common_header.h"

class CWriteTaskBase {
public:
    enum ETaskType {
        TASK_TYPE_UNKNOWN = 0,
        TASK_TYPE_BYTE_ARR = 1,
        TASK_TYPE_REFED_MEM = 2,
    };

    CWriteTaskBase(ETaskType nTaskType, uint32 iWantSize)
        : m_nTaskType(nTaskType), m_iWantSize(iWantSize), m_iDoneSize(0) {}
    virtual ~CWriteTaskBase() {}

    // The first unwritten byte; null once everything has been written.
    virtual const char* GetLeftData() const = 0;

    ETaskType GetTaskType() const { return m_nTaskType; }
    uint32 GetWantSize() const { return m_iWantSize; }
    uint32 GetDoneSize() const { return m_iDoneSize; }
    void IncDoneSize(uint32 iIncDoneSize) { m_iDoneSize += iIncDoneSize; }
    uint32 GetLeftSize() const { return m_iWantSize > m_iDoneSize ? m_iWantSize - m_iDoneSize : 0; }

protected:
    const char* LeftOf(const char* pData) const {
        if (m_iDoneSize == m_iWantSize || pData == nullptr) return nullptr;
        return pData + m_iDoneSize;
    }

private:
    CWriteTaskBase(const CWriteTaskBase&) = delete;
    CWriteTaskBase& operator=(const CWriteTaskBase&) = delete;

    ETaskType m_nTaskType;
    uint32 m_iWantSize;
    uint32 m_iDoneSize;
};

typedef std::list<CWriteTaskBase*> CWriteTaskList;

class CByteArrTask : public CWriteTaskBase {
public:
    // Copies iDataSize bytes of pData at once, so the caller may reuse its array.
    CByteArrTask(const char* pData, uint32 iDataSize);
    ~CByteArrTask() override;

    const char* GetLeftData() const override { return LeftOf(m_pBuf); }
    char* GetBuf() const { return m_pBuf; }

private:
    char* m_pBuf;
};

class CRefedMemTask : public CWriteTaskBase {
public:
    CRefedMemTask(void* hHandle, const char* pRefedMem, uint32 iDataSize)
        : CWriteTaskBase(TASK_TYPE_REFED_MEM, iDataSize), m_pHandle(hHandle), m_pRefedMem(pRefedMem) {}
    // The memory stays the caller's: nothing is freed.
    ~CRefedMemTask() override {}

    const char* GetLeftData() const override { return LeftOf(m_pRefedMem); }
    void* GetHandle() const { return m_pHandle; }
    const char* GetRefedMem() const { return m_pRefedMem; }

private:
    void* m_pHandle;
    const char* m_pRefedMem;
};

#endif
