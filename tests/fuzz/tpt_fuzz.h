// The piece table's reader over arbitrary bytes: TPTFile::Resolve of the
// input (an exact-size heap copy, so a read past it is caught), then the
// identifiers over what it found, a Makeup of the same fields that must give
// back the same bytes, and a copy through SetTptData that must resolve alike.
#ifndef ZQ_TPT_FUZZ_H
#define ZQ_TPT_FUZZ_H

#include <memory>

#include "fuzz_harness.h"
#include "tptFile.h"

namespace zqfuzz {

namespace tptdetail {

const uint64_t kHeadLen = sizeof(stTptHeadInfo);
const uint64_t kDigestLen = 16;
const uint64_t kFileHashLen = sizeof(Sha1Hash);

// A table built from the fields Resolve found must be the resolved bytes.
inline int CheckMakeup(const TPTFile& read, const unsigned char* table, uint64_t tableLen) {
    const stTptHeadInfo& head = read.mTptHead;
    const uint64_t n = head.SegCnt;
    const uint64_t segBytes = static_cast<uint64_t>(head.SegSize) * 1024;
    if (n > TPTFile::MAX_SEG_CNT || (n > 1 && head.LastSegSize > segBytes)) return 0;
    // The size whose last piece is LastSegSize; for no pieces the formula
    // counts one piece less than none.
    uint64_t filesize = n > 0 ? (n - 1) * segBytes + head.LastSegSize : head.LastSegSize - segBytes;

    TPTFile made;
    made.mTptHead = head;  // Makeup sets only the piece fields.
    ZQ_FUZZ_CHECK(made.Makeup(filesize, static_cast<int>(n), head.SegSize, read.mTptPieces.GetBegPnt(),
                              read.mFilehash));
    const unsigned char* bytes = nullptr;
    ZQ_FUZZ_CHECK(made.Pack(bytes) == tableLen);
    ZQ_FUZZ_CHECK(memcmp(bytes, table, tableLen) == 0);
    ZQ_FUZZ_CHECK(made.mTptPieces.GetBegPnt() == bytes + kHeadLen);
    ZQ_FUZZ_CHECK(made.mTptPieces.GetDataLen() == n * kDigestLen);
    return 0;
}

// What Resolve must have done with len bytes at data.
inline int CheckResolved(const TPTFile& tpt, bool ok, const unsigned char* data, uint64_t len) {
    if (len < kHeadLen) {
        ZQ_FUZZ_CHECK(!ok);
        ZQ_FUZZ_CHECK(tpt.GetDataLen() == 0);
        return 0;
    }
    ZQ_FUZZ_CHECK(memcmp(&tpt.mTptHead, data, kHeadLen) == 0);
    const uint64_t digests = static_cast<uint64_t>(tpt.mTptHead.SegCnt) * kDigestLen;
    const uint64_t need = kHeadLen + digests + kFileHashLen;
    ZQ_FUZZ_CHECK(ok == (len >= need));
    if (!ok) {
        // The cursor stays after the last part that was there whole.
        ZQ_FUZZ_CHECK(tpt.GetDataLen() == (len >= kHeadLen + digests ? kHeadLen + digests : kHeadLen));
        return 0;
    }
    ZQ_FUZZ_CHECK(tpt.GetBegPnt() == data);
    ZQ_FUZZ_CHECK(tpt.GetDataLen() == need);
    ZQ_FUZZ_CHECK(tpt.mTptPieces.GetBegPnt() == data + kHeadLen);
    ZQ_FUZZ_CHECK(tpt.mTptPieces.GetDataLen() == digests && tpt.mTptPieces.GetFreeBufLen() == 0);
    ZQ_FUZZ_CHECK(memcmp(tpt.mFilehash.cVal, data + kHeadLen + digests, kFileHashLen) == 0);
    return 0;
}

}  // namespace tptdetail

inline int TptFuzz(const uint8_t* data, size_t size) {
    using namespace tptdetail;
    std::unique_ptr<unsigned char[]> input(new unsigned char[size == 0 ? 1 : size]);
    if (size > 0) memcpy(input.get(), data, size);

    TPTFile tpt;
    bool ok = tpt.Resolve(size == 0 ? nullptr : input.get(), static_cast<unsigned int>(size));
    if (size == 0) {
        // Nothing to read changes nothing.
        TPTFile fresh;
        ZQ_FUZZ_CHECK(ok);
        ZQ_FUZZ_CHECK(tpt.GetBegPnt() == nullptr && tpt.GetDataLen() == 0);
        ZQ_FUZZ_CHECK(memcmp(&tpt.mTptHead, &fresh.mTptHead, kHeadLen) == 0);
        return 0;
    }
    if (CheckResolved(tpt, ok, input.get(), size) != 0) return -1;

    if (ok) {
        const int n = static_cast<int>(tpt.mTptHead.SegCnt);
        Sha1Hash fid, sid;
        CreateFid(fid, 12345, n, tpt.mTptPieces.GetBegPnt());
        CreateSid(sid, 12345, n, tpt.mTptPieces.GetBegPnt());
        // No digests, or more than a table may hold: the identifiers stay
        // zero; otherwise they are digests, never all zero in practice.
        bool counted = tpt.mTptHead.SegCnt >= 1 && tpt.mTptHead.SegCnt <= TPTFile::MAX_SEG_CNT;
        ZQ_FUZZ_CHECK(fid.IsZero() == !counted && sid.IsZero() == !counted);
        if (CheckMakeup(tpt, input.get(), tpt.GetDataLen()) != 0) return -1;
    }

    // A copy of the same bytes resolves the same way, from the copy.
    TPTFile copy;
    copy.SetTptData(input.get(), static_cast<unsigned int>(size));
    if (size >= TPTFile::MAX_TPT_DATA) {
        ZQ_FUZZ_CHECK(copy.GetDataLen() == 0);
        return 0;
    }
    ZQ_FUZZ_CHECK(copy.GetDataLen() == size);
    ZQ_FUZZ_CHECK(memcmp(copy.GetBegPnt(), input.get(), size) == 0);
    ZQ_FUZZ_CHECK(copy.mTptPieces.GetBegPnt() == nullptr);
    unsigned char* own = copy.GetBegPnt();
    bool copyOk = copy.Resolve(own, static_cast<unsigned int>(size));
    ZQ_FUZZ_CHECK(copyOk == ok);
    if (CheckResolved(copy, copyOk, own, size) != 0) return -1;

    // Loading over a table that was resolved in place drops the old view.
    tpt.SetTptData(own, static_cast<unsigned int>(size));
    ZQ_FUZZ_CHECK(tpt.GetDataLen() == size && tpt.GetBegPnt() != own);
    ZQ_FUZZ_CHECK(memcmp(tpt.GetBegPnt(), input.get(), size) == 0);
    return 0;
}

}  // namespace zqfuzz

#endif
