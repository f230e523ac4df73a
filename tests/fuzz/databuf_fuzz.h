// DataBuf driven by arbitrary programs: each input byte picks an operation
// (resize, grow, attach a region made of input bytes, rewind, one of the
// writers or readers) and the bytes after it give its arguments. A model of
// the region, the cursor and the bytes known to be in the region says what
// every call must return and leave behind; attached regions are exact-size
// heap copies, so a step past one is caught by the address checker.
#ifndef ZQ_DATABUF_FUZZ_H
#define ZQ_DATABUF_FUZZ_H

#include <algorithm>
#include <memory>

#include "databuf.h"
#include "fuzz_harness.h"

namespace zqfuzz {

namespace databufdetail {

const size_t kMaxGrowLen = DataBuf::MAX_GROW_LEN;
const size_t kMaxStep = DataBuf::MAX_GROW_STEP;

struct Blob35 {
    unsigned char b[35];
};

inline uint64_t NextPow2(uint64_t n) {
    uint64_t p = 1;
    while (p < n) p <<= 1;
    return p;
}

// Source bytes for large writes: a block of 251 bytes (a prime, so the
// pattern does not line up with powers of two) repeated, made once.
inline const unsigned char* Pattern(size_t n) {
    static std::vector<unsigned char> pattern;
    if (pattern.size() < n) {
        pattern.resize(n < 251 ? 251 : n);
        for (size_t i = 0; i < 251; ++i) pattern[i] = static_cast<unsigned char>(i * 131 + 7);
        for (size_t done = 251; done < pattern.size(); done *= 2) {
            memcpy(pattern.data() + done, pattern.data(), std::min(done, pattern.size() - done));
        }
    }
    return pattern.data();
}

class Harness {
public:
    explicit Harness(ByteReader& in) : m_in(in) {}

    int Run() {
        while (!m_in.Empty()) {
            if (Step() != 0 || CheckState() != 0) return -1;
        }
        return 0;
    }

private:
    enum EMode { NONE, OWNED, ATTACHED };

    size_t RegionLen() const {
        if (m_mode == OWNED) return m_ownedLen;
        if (m_mode == ATTACHED) return m_attLen;
        return 0;
    }
    size_t Free() const { return RegionLen() - m_cur; }
    // -1 when the model does not know the byte.
    int Known(size_t i) const {
        if (m_mode == OWNED) return i < m_owned.size() ? m_owned[i] : -1;
        if (m_mode == ATTACHED) return m_shadow[i];
        return -1;
    }

    // The owned region is now len long and its bytes from `from` on are unknown.
    void ForgetOwnedFrom(size_t from, size_t len) {
        m_ownedLen = len;
        if (m_owned.size() > from) m_owned.resize(from);
    }

    int CheckState() {
        ZQ_FUZZ_CHECK(m_buf.GetDataLen() == m_cur);
        ZQ_FUZZ_CHECK(static_cast<size_t>(m_buf.GetDataLen()) + m_buf.GetFreeBufLen() == RegionLen());
        if (m_mode == ATTACHED) ZQ_FUZZ_CHECK(m_buf.GetBegPnt() == m_att);
        if (m_mode == NONE) ZQ_FUZZ_CHECK(m_buf.GetBegPnt() == nullptr);
        const unsigned char* packed = nullptr;
        ZQ_FUZZ_CHECK(m_buf.Pack(packed) == m_cur && packed == m_buf.GetBegPnt());
        // The bytes the model knows: all of an attached region; of the owned
        // one the known prefix, or a window at each end of a long prefix.
        // memcmp, as a byte loop per operation would be slowed down by the
        // coverage tracing more than anything under test.
        if (m_mode == ATTACHED) ZQ_FUZZ_CHECK(m_attLen == 0 || memcmp(m_att, m_shadow.data(), m_attLen) == 0);
        if (m_mode == OWNED && !m_owned.empty()) {
            const unsigned char* p = m_buf.GetBegPnt();
            const size_t known = m_owned.size();
            const size_t window = 4096;
            if (known <= 2 * window) {
                ZQ_FUZZ_CHECK(memcmp(p, m_owned.data(), known) == 0);
            } else {
                ZQ_FUZZ_CHECK(memcmp(p, m_owned.data(), window) == 0);
                ZQ_FUZZ_CHECK(memcmp(p + known - window, m_owned.data() + known - window, window) == 0);
            }
        }
        return 0;
    }

    // A region of the caller's: an exact-size copy of input bytes, alive
    // until the end of the program.
    unsigned char* NewRegion(size_t* len) {
        size_t want = m_in.Byte();
        if (want >= 200) want = (want - 200) * 64 + m_in.Byte();
        std::string bytes = m_in.Bytes(want);
        bytes.resize(want, '\x5a');
        m_regions.emplace_back(new unsigned char[want == 0 ? 1 : want]);
        memcpy(m_regions.back().get(), bytes.data(), want);
        *len = want;
        return m_regions.back().get();
    }

    void Attach(unsigned char* buf, size_t len, size_t cur) {
        m_mode = ATTACHED;
        m_att = buf;
        m_attLen = len;
        m_shadow.assign(buf, buf + len);
        m_cur = cur;
    }

    // Bytes handed to a writer, not owned.
    struct Span {
        const unsigned char* p;
        size_t n;
    };

    // What a writer did against what it had to do. check is the free room
    // the writer asks for beyond the cursor (it must leave a byte spare);
    // head and then body are the exact bytes it must write.
    int AfterWrite(bool ok, size_t check, const std::string& head, Span body, size_t lenBefore) {
        size_t lenAfter = static_cast<size_t>(m_buf.GetDataLen()) + m_buf.GetFreeBufLen();
        if (m_mode == ATTACHED || m_mode == NONE) {
            ZQ_FUZZ_CHECK(ok == (Free() > check));
            ZQ_FUZZ_CHECK(lenAfter == lenBefore);
        } else {
            ZQ_FUZZ_CHECK(lenAfter >= lenBefore && lenAfter <= (lenBefore > kMaxGrowLen ? lenBefore : kMaxGrowLen));
            // Growing keeps the data only.
            if (lenAfter != lenBefore) ForgetOwnedFrom(m_cur, lenAfter);
            if (ok) {
                ZQ_FUZZ_CHECK(lenAfter - m_cur > check);
            } else {
                // Refused only where one more growth step could pass the limit.
                ZQ_FUZZ_CHECK(Free() > check ? false : m_cur + check + 1 + kMaxStep > kMaxGrowLen);
            }
        }
        if (!ok) return 0;
        const size_t n = head.size() + body.n;
        ZQ_FUZZ_CHECK(n <= check);
        const unsigned char* at = m_buf.GetBegPnt() + m_cur;
        ZQ_FUZZ_CHECK(memcmp(at, head.data(), head.size()) == 0);
        ZQ_FUZZ_CHECK(body.n == 0 || memcmp(at + head.size(), body.p, body.n) == 0);
        if (n == 0) return 0;
        if (m_mode == ATTACHED) {
            memcpy(m_shadow.data() + m_cur, head.data(), head.size());
            if (body.n > 0) memcpy(m_shadow.data() + m_cur + head.size(), body.p, body.n);
        } else if (m_cur <= m_owned.size() && n <= 65536) {
            // The model knows one prefix of the owned region: bytes written
            // past unknown ones, or long writes (checked just now), end it.
            if (m_owned.size() < m_cur + n) m_owned.resize(m_cur + n);
            memcpy(m_owned.data() + m_cur, head.data(), head.size());
            if (body.n > 0) memcpy(m_owned.data() + m_cur + head.size(), body.p, body.n);
        } else if (m_cur < m_owned.size()) {
            m_owned.resize(m_cur);
        }
        m_cur += n;
        return 0;
    }

    template <typename T>
    static std::string BigEndian(T v) {
        typedef typename std::make_unsigned<T>::type U;
        U u = static_cast<U>(v);
        std::string out(sizeof(T), '\0');
        for (size_t i = 0; i < sizeof(T); ++i) out[sizeof(T) - 1 - i] = static_cast<char>((u >> (8 * i)) & 0xff);
        return out;
    }

    template <typename T>
    int WriteValue() {
        T v = static_cast<T>(m_in.U64());
        size_t before = RegionLen();
        bool ok = m_buf.SetValue(v);
        return AfterWrite(ok, sizeof(T), BigEndian(v), Span{nullptr, 0}, before);
    }

    // Bytes from the input, or for a large length the fixed pattern (not
    // copied: copying megabytes per write would be most of the run time).
    Span Payload(size_t len) {
        if (len <= 64) {
            m_small = m_in.Bytes(len);
            m_small.resize(len, '\x33');
            return Span{reinterpret_cast<const unsigned char*>(m_small.c_str()), len};
        }
        return Span{Pattern(len), len};
    }

    size_t PayloadLen() {
        uint8_t sel = m_in.Byte();
        if (sel < 224) return sel % 65;
        if (sel < 254) return m_in.U16();
        // Up to 12 MiB, past what any region may grow to: rare, being slow.
        return static_cast<size_t>(m_in.U32() % (12u << 20));
    }

    template <typename T>
    int ReadValue() {
        size_t free = Free();
        T v = 0;
        bool ok = m_buf.GetValue(v);
        ZQ_FUZZ_CHECK(ok == (free >= sizeof(T)));
        if (!ok) return 0;
        typedef typename std::make_unsigned<T>::type U;
        U want = 0;
        bool known = true;
        for (size_t i = 0; i < sizeof(T); ++i) {
            int b = Known(m_cur + i);
            if (b < 0) known = false;
            want = static_cast<U>((want << 8) | static_cast<U>(b & 0xff));
        }
        if (known) ZQ_FUZZ_CHECK(static_cast<U>(v) == want);
        m_cur += sizeof(T);
        return 0;
    }

    int Step() {
        const uint8_t op = m_in.Byte() % 16;
        switch (op) {
            case 0: {  // Resize
                uint8_t sel = m_in.Byte();
                uint32_t n;
                if (sel < 240) {
                    n = m_in.U16();
                } else {
                    static const uint32_t special[] = {0, 1024, 1025, (1u << 21) + 1, 0x80000001u, 0xC0000000u,
                                                       0xFFFFFFFFu};
                    n = special[sel % (sizeof(special) / sizeof(special[0]))];
                }
                bool ok = m_buf.Resize(n);
                if (n > 0x80000000u) {
                    // No power of two of 32 bits is that large: refused, the
                    // buffer as it was.
                    ZQ_FUZZ_CHECK(!ok);
                    return 0;
                }
                ZQ_FUZZ_CHECK(ok);
                size_t size = NextPow2(n) < 1024 ? 1024 : NextPow2(n);
                m_mode = OWNED;
                m_hasOwned = true;
                ForgetOwnedFrom(0, size);
                m_cur = 0;
                return 0;
            }
            case 1: {  // Growup
                uint8_t sel = m_in.Byte();
                uint32_t n = sel < 200 ? m_in.U16() : m_in.U32();
                size_t before = RegionLen();
                bool ok = m_buf.Growup(n);
                if (m_mode != OWNED) {
                    ZQ_FUZZ_CHECK(!ok);
                    return 0;
                }
                size_t step = n > kMaxStep ? kMaxStep : (NextPow2(n) < 1024 ? 1024 : NextPow2(n));
                ZQ_FUZZ_CHECK(ok == (before + step <= kMaxGrowLen));
                if (!ok) return 0;
                ForgetOwnedFrom(m_cur, before + step);
                return 0;
            }
            case 2:  // Reset(): back to the owned block, or to no region
                m_buf.Reset();
                m_mode = m_hasOwned ? OWNED : NONE;
                m_cur = 0;
                return 0;
            case 3: {  // Reset(buf, len) and Unpack(buf, len)
                size_t len = 0;
                unsigned char* buf = NewRegion(&len);
                if (m_in.Byte() & 1) {
                    m_buf.Reset(buf, static_cast<unsigned int>(len));
                } else {
                    ZQ_FUZZ_CHECK(m_buf.Unpack(buf, static_cast<unsigned int>(len)));
                }
                Attach(buf, len, 0);
                return 0;
            }
            case 4:  // Reset(null, len): the same region, rewound
                m_buf.Reset(nullptr, m_in.U32());
                m_cur = 0;
                return 0;
            case 5: {  // ResetData: a region taken as full
                size_t len = 0;
                unsigned char* buf = NewRegion(&len);
                m_buf.ResetData(buf, static_cast<unsigned int>(len));
                Attach(buf, len, len);
                return 0;
            }
            case 6: return WriteValue<unsigned short>();
            case 7: return WriteValue<unsigned int>();
            case 8: return WriteValue<int>();
            case 9: return WriteValue<unsigned long long>();
            case 10: {  // SetStruct
                Blob35 blob;
                Span bytes = Payload(sizeof(blob));
                memcpy(blob.b, bytes.p, sizeof(blob));
                size_t before = RegionLen();
                bool ok = m_buf.SetStruct(blob);
                return AfterWrite(ok, sizeof(blob), std::string(), bytes, before);
            }
            case 11: {  // SetData: 4-byte length, then the bytes
                size_t len = PayloadLen();
                Span bytes = Payload(len);
                size_t before = RegionLen();
                bool ok = m_buf.SetData(bytes.p, static_cast<unsigned int>(len));
                return AfterWrite(ok, len + 4, BigEndian(static_cast<uint32_t>(len)), bytes, before);
            }
            case 12: {  // SetSData: 2-byte length, then the bytes
                size_t len = PayloadLen() & 0xffff;
                Span bytes = Payload(len);
                size_t before = RegionLen();
                bool ok = m_buf.SetSData(bytes.p, static_cast<unsigned short>(len));
                return AfterWrite(ok, len + 4, BigEndian(static_cast<uint16_t>(len)), bytes, before);
            }
            case 13: {  // SetSString: null, an explicit length, or the text's own length
                uint8_t sel = m_in.Byte();
                size_t before = RegionLen();
                if (sel % 3 == 0) {
                    bool ok = m_buf.SetSString(nullptr, static_cast<unsigned short>(m_in.U16()));
                    return AfterWrite(ok, 4, std::string(2, '\0'), Span{nullptr, 0}, before);
                }
                Span bytes = Payload(PayloadLen() & 0xffff);
                // A copy, for the terminator the text's own length is found by.
                std::string text(reinterpret_cast<const char*>(bytes.p), bytes.n);
                size_t len = sel % 3 == 1 ? text.size() : strlen(text.c_str());
                bool ok = m_buf.SetSString(text.c_str(), sel % 3 == 1 ? static_cast<unsigned short>(len) : 0);
                return AfterWrite(ok, len + 4, BigEndian(static_cast<uint16_t>(len)),
                                  Span{reinterpret_cast<const unsigned char*>(text.data()), len}, before);
            }
            case 14: {  // SetFixData: the bytes alone
                size_t len = PayloadLen();
                Span bytes = Payload(len);
                size_t before = RegionLen();
                bool ok = m_buf.SetFixData(bytes.p, static_cast<unsigned int>(len));
                return AfterWrite(ok, len + 4, std::string(), bytes, before);
            }
            default: {  // the readers
                switch (m_in.Byte() % 6) {
                    case 0: return ReadValue<unsigned short>();
                    case 1: return ReadValue<unsigned int>();
                    case 2: return ReadValue<int>();
                    case 3: return ReadValue<unsigned long long>();
                    case 4: {
                        size_t free = Free();
                        Blob35 blob;
                        memset(&blob, 0, sizeof(blob));
                        bool ok = m_buf.GetStruct(blob);
                        ZQ_FUZZ_CHECK(ok == (free >= sizeof(blob)));
                        if (!ok) return 0;
                        for (size_t i = 0; i < sizeof(blob); ++i) {
                            int want = Known(m_cur + i);
                            if (want >= 0) ZQ_FUZZ_CHECK(blob.b[i] == want);
                        }
                        m_cur += sizeof(blob);
                        return 0;
                    }
                    default: {
                        uint8_t sel = m_in.Byte();
                        uint32_t len = sel < 128 ? sel : (sel < 250 ? m_in.U16() : m_in.U32());
                        size_t free = Free();
                        const unsigned char* at = m_buf.GetBegPnt() + m_cur;
                        const unsigned char* v = reinterpret_cast<const unsigned char*>(&m_cur);
                        bool ok = m_buf.GetFixData(v, len);
                        ZQ_FUZZ_CHECK(ok == (free >= len));
                        if (!ok) {
                            ZQ_FUZZ_CHECK(v == nullptr);
                            return 0;
                        }
                        ZQ_FUZZ_CHECK(v == at);
                        m_cur += len;
                        return 0;
                    }
                }
            }
        }
    }

    ByteReader& m_in;
    // Declared before the buffer, so they outlive it.
    std::vector<std::unique_ptr<unsigned char[]>> m_regions;
    DataBuf m_buf;
    EMode m_mode = NONE;
    bool m_hasOwned = false;
    size_t m_ownedLen = 0;
    std::vector<unsigned char> m_owned;  // the owned region's first bytes, as far as known
    unsigned char* m_att = nullptr;
    size_t m_attLen = 0;
    std::vector<unsigned char> m_shadow;  // what the attached region must hold
    size_t m_cur = 0;
    std::string m_small;  // the bytes of the last short payload
};

}  // namespace databufdetail

inline int DataBufFuzz(const uint8_t* data, size_t size) {
    ByteReader in(data, size);
    databufdetail::Harness harness(in);
    return harness.Run();
}

}  // namespace zqfuzz

#endif
