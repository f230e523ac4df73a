#include "databuf.h"

#include <new>

unsigned int nextpow2(unsigned int n) {
    --n;
    n |= n >> 1;
    n |= n >> 2;
    n |= n >> 4;
    n |= n >> 8;
    n |= n >> 16;
    return n + 1;
}

DataBuf::DataBuf()
    : pNewBuf(nullptr), pCur(nullptr), pBeg(nullptr), pEnd(nullptr), bufLen(0), m_iNewBufLen(0), m_iNewBufCap(0) {}

DataBuf::~DataBuf() { delete[] pNewBuf; }

void DataBuf::Reset() {
    if (pNewBuf != nullptr) {
        pBeg = pNewBuf;
        bufLen = m_iNewBufLen;
        pEnd = pBeg + bufLen;
    } else {
        pBeg = nullptr;
        pEnd = nullptr;
        bufLen = 0;
    }
    pCur = pBeg;
}

void DataBuf::Reset(void* buf, unsigned int len) {
    if (buf != nullptr) {
        pBeg = static_cast<unsigned char*>(buf);
        bufLen = len;
        pEnd = pBeg + len;
    }
    pCur = pBeg;
}

unsigned int DataBuf::Pack(const unsigned char*& buf) const {
    buf = pBeg;
    return GetDataLen();
}

bool DataBuf::Unpack(void* buf, unsigned int len) {
    Reset(buf, len);
    return true;
}

void DataBuf::ResetData(void* buf, unsigned int len) {
    if (buf == nullptr) return;
    pBeg = static_cast<unsigned char*>(buf);
    bufLen = len;
    pEnd = pBeg + len;
    pCur = pEnd;
}

bool DataBuf::Resize(unsigned int iNewSize) {
    unsigned int size = nextpow2(iNewSize);
    // nextpow2 wraps to 0 above 2^31; such a size cannot be had.
    if (size == 0 && iNewSize != 0) return false;
    if (size < MIN_RESIZE) size = MIN_RESIZE;
    if (pNewBuf == nullptr || m_iNewBufCap < size) {
        unsigned char* p = new (std::nothrow) unsigned char[size];
        if (p == nullptr) return false;
        delete[] pNewBuf;
        pNewBuf = p;
        m_iNewBufCap = size;
    }
    m_iNewBufLen = size;
    pBeg = pNewBuf;
    bufLen = size;
    pEnd = pBeg + bufLen;
    pCur = pBeg;
    return true;
}

bool DataBuf::Growup(unsigned int iGrowSize) {
    // A caller's region is never reallocated behind the caller's back.
    if (pNewBuf == nullptr || pBeg != pNewBuf) return false;
    unsigned int iDataLen = GetDataLen();
    unsigned int step = nextpow2(iGrowSize);
    if (step < MIN_GROW_STEP) step = MIN_GROW_STEP;
    if (step > MAX_GROW_STEP || iGrowSize > MAX_GROW_STEP) step = MAX_GROW_STEP;
    if (static_cast<uint64>(bufLen) + step > MAX_GROW_LEN) return false;
    unsigned int iNewLen = bufLen + step;
    unsigned char* p = new (std::nothrow) unsigned char[iNewLen];
    if (p == nullptr) return false;
    if (iDataLen > 0) memcpy(p, pBeg, iDataLen);
    delete[] pNewBuf;
    pNewBuf = p;
    m_iNewBufCap = iNewLen;
    m_iNewBufLen = iNewLen;
    pBeg = pNewBuf;
    bufLen = iNewLen;
    pEnd = pBeg + bufLen;
    pCur = pBeg + iDataLen;
    return true;
}

bool DataBuf::EnsureFree(uint64 need) {
    // One growth step adds at most 1 MiB, so a larger write takes several;
    // each step is checked against the limit, and none writes anything.
    while (static_cast<uint64>(GetFreeBufLen()) <= need) {
        unsigned int iAsk = need > MAX_GROW_STEP ? static_cast<unsigned int>(MAX_GROW_STEP) : static_cast<unsigned int>(need);
        if (!Growup(iAsk)) return false;
    }
    return true;
}

bool DataBuf::CanAccept(const unsigned char* v, unsigned int datalen) {
    (void)v;
    return EnsureFree(static_cast<uint64>(datalen) + 4);
}

bool DataBuf::SetData(const unsigned char* v, unsigned int len) {
    if (v == nullptr && len > 0) return false;
    if (!CanAccept(v, len)) return false;
    uint32 n = Host2Net(static_cast<uint32>(len));
    memcpy(pCur, &n, sizeof(n));
    pCur += sizeof(n);
    if (len > 0) memcpy(pCur, v, len);
    pCur += len;
    return true;
}

bool DataBuf::SetSData(const unsigned char* v, unsigned short len) {
    if (v == nullptr && len > 0) return false;
    if (!CanAccept(v, len)) return false;
    uint16 n = Host2Net(static_cast<uint16>(len));
    memcpy(pCur, &n, sizeof(n));
    pCur += sizeof(n);
    if (len > 0) memcpy(pCur, v, len);
    pCur += len;
    return true;
}

bool DataBuf::SetSString(const char* v, unsigned short len) {
    if (v == nullptr) return SetSData(nullptr, 0);
    if (len == 0) len = static_cast<unsigned short>(strlen(v));
    return SetSData(reinterpret_cast<const unsigned char*>(v), len);
}

bool DataBuf::SetFixData(const unsigned char* v, unsigned int len) {
    if (v == nullptr && len > 0) return false;
    if (!CanAccept(v, len)) return false;
    if (len > 0) memcpy(pCur, v, len);
    pCur += len;
    return true;
}

bool DataBuf::GetFixData(const unsigned char*& v, unsigned int len) {
    if (GetFreeBufLen() < len) {
        v = nullptr;
        return false;
    }
    v = pCur;
    pCur += len;
    return true;
}
