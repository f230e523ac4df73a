// Which pieces of a download are still wanted, which are on their way and
// from which mirror, and which mirror may not be asked for a piece again
// because it sent that piece damaged. Ranges are taken one at a time by a
// connection that has come free, so the work is never split up front.
// Pure bookkeeping for one thread; mirrors are numbered 0 to MAX_MIRRORS - 1.
#ifndef ZQ_FETCH_PLAN_H
#define ZQ_FETCH_PLAN_H

#include <vector>

#include "common_header.h"

class CFetchPlan {
public:
    static const unsigned int MAX_MIRRORS = 64;

    // Every piece of uiPieces wanted, or only those oWanted marks.
    explicit CFetchPlan(uint32 uiPieces);
    CFetchPlan(const std::vector<bool>& oWanted);

    // The first wanted piece that mirror iMirror has not sent damaged, and
    // the wanted pieces after it (up to uiMax in all) that it may also send,
    // now on their way. False when there is none for this mirror.
    bool Take(unsigned int iMirror, uint32 uiMax, uint32& uiFirst, uint32& uiCount);
    // A piece arrived intact and is written.
    void Done(uint32 uiPiece);
    // A piece arrived damaged: wanted again, from another mirror.
    void Damaged(uint32 uiPiece, unsigned int iMirror);
    // A piece of a range that ended before it arrived: wanted again.
    void Return(uint32 uiPiece);

    bool Complete() const { return m_uiDone == m_oState.size(); }
    uint32 Pieces() const { return static_cast<uint32>(m_oState.size()); }
    uint32 DoneCount() const { return m_uiDone; }
    uint32 Wanted() const { return m_uiWanted; }
    // How many pieces from the start are done, one after the other.
    uint32 DonePrefix();
    // Wanted pieces none of the mirrors in uiLive may still send.
    std::vector<uint32> Undeliverable(uint64 uiLive) const;
    // Pieces not done, in order.
    std::vector<uint32> NotDone() const;

private:
    enum EState : unsigned char { WANTED, ON_WAY, DONE };
    std::vector<EState> m_oState;
    std::vector<uint64> m_oRefused;  // per piece, a bit per mirror that sent it damaged
    uint32 m_uiDone = 0;
    uint32 m_uiWanted = 0;  // in state WANTED
    uint32 m_uiPrefix = 0;
    uint32 m_uiScan = 0;    // no wanted piece lies before it
};

#endif
