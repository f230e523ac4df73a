// DataBuf: a write/read cursor over either a heap block the buffer owns (and
// may grow, up to 10 MiB) or a caller's region it only looks at (never grown;
// the caller keeps it alive). Integers are written and read big-endian,
// records and hash values as raw bytes, variable data behind a 2- or 4-byte
// big-endian length. Every writer leaves at least one byte free after it and
// either writes everything or nothing; every reader either reads everything
// or leaves the cursor where it was. Not copied, not locked.
#ifndef ZQ_DATABUF_H
#define ZQ_DATABUF_H

#include <cstring>
#include <type_traits>

#include "common_header.h"

// The smallest power of two not below n; 0 for 0 and for n above 2^31.
unsigned int nextpow2(unsigned int n);

inline uint64 htonll(uint64 v) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return __builtin_bswap64(v);
#else
    return v;
#endif
}
inline uint64 ntohll(uint64 v) { return htonll(v); }

// Host order to big-endian for 2-, 4- and 8-byte integers (and back: the
// conversion is its own inverse).
template <typename T>
inline T Host2Net(T v) {
    static_assert(std::is_integral<T>::value, "integers only");
    static_assert(sizeof(T) == 2 || sizeof(T) == 4 || sizeof(T) == 8, "2, 4 or 8 bytes");
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    typedef typename std::make_unsigned<T>::type U;
    U u = static_cast<U>(v);
    if (sizeof(T) == 2) u = static_cast<U>(__builtin_bswap16(static_cast<uint16>(u)));
    if (sizeof(T) == 4) u = static_cast<U>(__builtin_bswap32(static_cast<uint32>(u)));
    if (sizeof(T) == 8) u = static_cast<U>(__builtin_bswap64(static_cast<uint64>(u)));
    return static_cast<T>(u);
#else
    return v;
#endif
}
template <typename T>
inline T Net2Host(T v) {
    return Host2Net(v);
}

class DataBuf {
public:
    enum {
        MIN_GROW_STEP = 1024,
        MAX_GROW_STEP = 1048576,
        MAX_GROW_LEN = 10485760,
        MIN_RESIZE = 1024,
    };

    DataBuf();
    virtual ~DataBuf();
    DataBuf(const DataBuf&) = delete;
    DataBuf& operator=(const DataBuf&) = delete;

    // Back to the owned block (with the length it had), cursor at its start;
    // the data is kept. Without an owned block: no region at all.
    virtual void Reset();
    // Attach a caller's region for reading; a null buf keeps the region.
    // Either way the cursor goes to the region's start.
    virtual void Reset(void* buf, unsigned int len);
    // Points buf at the region's start and returns the data length.
    virtual unsigned int Pack(const unsigned char*& buf) const;
    virtual bool Unpack(void* buf, unsigned int len);
    // Attach a caller's region as full data (cursor at its end); null: no change.
    void ResetData(void* buf, unsigned int len);

    unsigned char* GetBegPnt() const { return pBeg; }
    unsigned int GetFreeBufLen() const { return static_cast<unsigned int>(pEnd - pCur); }
    unsigned int GetDataLen() const { return static_cast<unsigned int>(pCur - pBeg); }

    // An empty owned region of nextpow2(iNewSize) bytes, at least 1,024;
    // the data is discarded. False when the size cannot be had.
    bool Resize(unsigned int iNewSize);
    // Grows the owned region by nextpow2(iGrowSize), kept within 1 KiB..1 MiB,
    // keeping the data; false for an attached region, past 10 MiB, or when
    // memory is short. The step is never cut down to fit the limit.
    bool Growup(unsigned int iGrowSize);

    template <typename T>
    bool SetValue(T v) {
        if (!EnsureFree(sizeof(T))) return false;
        T n = Host2Net(v);
        memcpy(pCur, &n, sizeof(T));
        pCur += sizeof(T);
        return true;
    }
    template <typename T>
    bool SetStruct(const T& v) {
        static_assert(std::is_trivially_copyable<T>::value, "raw bytes only");
        if (!CanAccept(v)) return false;
        memcpy(pCur, &v, sizeof(T));
        pCur += sizeof(T);
        return true;
    }
    // 4-byte length, then the bytes.
    bool SetData(const unsigned char* v, unsigned int len);
    // 2-byte length, then the bytes.
    bool SetSData(const unsigned char* v, unsigned short len);
    // As SetSData; a null v writes a zero length, a len of 0 takes strlen(v)
    // (modulo 65,536). No terminator is written.
    bool SetSString(const char* v, unsigned short len);
    // The bytes alone.
    bool SetFixData(const unsigned char* v, unsigned int len);

    // Room for datalen bytes plus a 4-byte length, with one byte to spare,
    // growing the owned region as often as it takes.
    bool CanAccept(const unsigned char* v, unsigned int datalen);
    template <typename T>
    bool CanAccept(const T& v) {
        (void)v;
        return EnsureFree(sizeof(T));
    }

    template <typename T>
    bool GetValue(T& v) {
        if (GetFreeBufLen() < sizeof(T)) return false;
        T n;
        memcpy(&n, pCur, sizeof(T));
        v = Net2Host(n);
        pCur += sizeof(T);
        return true;
    }
    template <typename T>
    bool GetStruct(T& v) {
        static_assert(std::is_trivially_copyable<T>::value, "raw bytes only");
        if (GetFreeBufLen() < sizeof(T)) return false;
        memcpy(static_cast<void*>(&v), pCur, sizeof(T));
        pCur += sizeof(T);
        return true;
    }
    // v points at the cursor (no copy); null and false when fewer than len remain.
    bool GetFixData(const unsigned char*& v, unsigned int len);

protected:
    // True once more than need bytes are free.
    bool EnsureFree(uint64 need);

    unsigned char* pNewBuf;
    unsigned char* pCur;
    unsigned char* pBeg;
    unsigned char* pEnd;
    unsigned int bufLen;

private:
    // The owned block's region length and allocation, kept apart from bufLen
    // so that attaching a caller's region never loses them.
    unsigned int m_iNewBufLen;
    unsigned int m_iNewBufCap;
};

#endif
