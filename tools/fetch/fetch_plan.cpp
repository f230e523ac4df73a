#include "fetch_plan.h"

CFetchPlan::CFetchPlan(uint32 uiPieces) : m_oState(uiPieces, WANTED), m_oRefused(uiPieces, 0), m_uiWanted(uiPieces) {}

CFetchPlan::CFetchPlan(const std::vector<bool>& oWanted) : m_oState(oWanted.size()), m_oRefused(oWanted.size(), 0) {
    for (size_t k = 0; k < oWanted.size(); ++k) {
        m_oState[k] = oWanted[k] ? WANTED : DONE;
        if (oWanted[k]) {
            ++m_uiWanted;
        } else {
            ++m_uiDone;
        }
    }
}

bool CFetchPlan::Take(unsigned int iMirror, uint32 uiMax, uint32& uiFirst, uint32& uiCount) {
    const uint64 uiBit = 1ULL << (iMirror % MAX_MIRRORS);
    const uint32 uiPieces = Pieces();
    while (m_uiScan < uiPieces && m_oState[m_uiScan] != WANTED) ++m_uiScan;
    uint32 k = m_uiScan;
    while (k < uiPieces && (m_oState[k] != WANTED || (m_oRefused[k] & uiBit) != 0)) ++k;
    if (k >= uiPieces || uiMax == 0) return false;
    uiFirst = k;
    uiCount = 0;
    while (k < uiPieces && uiCount < uiMax && m_oState[k] == WANTED && (m_oRefused[k] & uiBit) == 0) {
        m_oState[k++] = ON_WAY;
        ++uiCount;
    }
    m_uiWanted -= uiCount;
    return true;
}

void CFetchPlan::Done(uint32 uiPiece) {
    if (uiPiece >= Pieces() || m_oState[uiPiece] == DONE) return;
    if (m_oState[uiPiece] == WANTED) --m_uiWanted;
    m_oState[uiPiece] = DONE;
    ++m_uiDone;
}

void CFetchPlan::Damaged(uint32 uiPiece, unsigned int iMirror) {
    if (uiPiece >= Pieces()) return;
    m_oRefused[uiPiece] |= 1ULL << (iMirror % MAX_MIRRORS);
    Return(uiPiece);
}

void CFetchPlan::Return(uint32 uiPiece) {
    if (uiPiece >= Pieces() || m_oState[uiPiece] != ON_WAY) return;
    m_oState[uiPiece] = WANTED;
    ++m_uiWanted;
    if (uiPiece < m_uiScan) m_uiScan = uiPiece;
}

uint32 CFetchPlan::DonePrefix() {
    while (m_uiPrefix < Pieces() && m_oState[m_uiPrefix] == DONE) ++m_uiPrefix;
    return m_uiPrefix;
}

std::vector<uint32> CFetchPlan::Undeliverable(uint64 uiLive) const {
    std::vector<uint32> oPieces;
    for (uint32 k = 0; k < Pieces(); ++k) {
        if (m_oState[k] == WANTED && (uiLive & ~m_oRefused[k]) == 0) oPieces.push_back(k);
    }
    return oPieces;
}

std::vector<uint32> CFetchPlan::NotDone() const {
    std::vector<uint32> oPieces;
    for (uint32 k = 0; k < Pieces(); ++k) {
        if (m_oState[k] != DONE) oPieces.push_back(k);
    }
    return oPieces;
}
