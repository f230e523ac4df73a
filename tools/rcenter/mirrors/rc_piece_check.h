// The judge of one check: which piece to ask a location for, and what its
// answer (status, headers, body as it arrives) says of it. It keeps at most
// one piece of the body and says when to stop reading, so a check moves no
// more than one piece plus headers. A 200 that ignores the range is judged
// on the file's first piece (all it reads of it) and marks the location as
// one without ranges. Transport (connections, redirects, the address rule)
// is the checker's; this holds no socket and no thread.
#ifndef ZQ_RC_PIECE_CHECK_H
#define ZQ_RC_PIECE_CHECK_H

#include <string>
#include <vector>

#include "common_header.h"
#include "rc_store.h"
#include "tpt_verify.h"

class CRcPieceCheck {
public:
    // oTable must outlive the check. iRandom picks the piece: the last one
    // for one value in four (a file cut short shows there), else any.
    CRcPieceCheck(const tpt_table_t& oTable, uint32 iRandom);

    // The Range header's value ("bytes=a-b"); empty for a table without
    // pieces, which is fetched whole (0 bytes).
    std::string RangeValue() const;
    uint32 Piece() const { return m_iPiece; }

    // A new answer (the first, or one after a redirect) begins.
    void Reset();
    // One header line of the answer, as it came ("Name: value\r\n").
    void OnHeader(const char* p, size_t n);
    // Body bytes of an answer with status lStatus; false: stop reading (the
    // piece is whole, or the answer is already judged).
    bool OnBody(long lStatus, const unsigned char* p, size_t n);
    // The verdict once the answer ended: bComplete when the transfer ended
    // by itself or by OnBody's stop, false when it broke (a timeout, a reset).
    ERcHealthState Verdict(long lStatus, bool bComplete);
    // Whether the answer honoured the range, once it is known.
    ERcRanges Ranges() const { return m_nRanges; }
    // Why the verdict is not ok, for the log.
    const std::string& Why() const { return m_strWhy; }

private:
    bool Fail(const std::string& strWhy);
    static bool ParseLength(const std::string& strValue, unsigned long long& ull);
    uint64 PieceLength(uint32 iPiece) const;

    const tpt_table_t& m_oTable;
    uint32 m_iPiece;
    uint64 m_iFirst;
    uint64 m_iLength;
    std::string m_strContentRange;
    bool m_bHasLength;
    uint64 m_iContentLength;
    bool m_bHeadChecked;
    bool m_bWrong;        // the answer is another file's
    uint32 m_iJudged;     // the piece the body is compared with
    uint64 m_iWant;       // its length
    std::vector<unsigned char> m_oBody;
    ERcRanges m_nRanges;
    std::string m_strWhy;
};

#endif
