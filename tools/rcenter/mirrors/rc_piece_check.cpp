#include "rc_piece_check.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "md5.h"

namespace {

std::string Trimmed(const char* p, size_t n) {
    while (n > 0 && (*p == ' ' || *p == '\t')) ++p, --n;
    while (n > 0 && (p[n - 1] == '\r' || p[n - 1] == '\n' || p[n - 1] == ' ' || p[n - 1] == '\t')) --n;
    return std::string(p, n);
}

}  // namespace

CRcPieceCheck::CRcPieceCheck(const tpt_table_t& oTable, uint32 iRandom)
    : m_oTable(oTable), m_iPiece(0), m_iFirst(0), m_iLength(0), m_nRanges(RC_RANGES_UNKNOWN) {
    if (oTable.Pieces > 0) {
        m_iPiece = iRandom % 4 == 0 ? oTable.Pieces - 1 : (iRandom / 4) % oTable.Pieces;
        m_iFirst = static_cast<uint64>(m_iPiece) * oTable.PieceSize;
        m_iLength = PieceLength(m_iPiece);
    }
    Reset();
}

uint64 CRcPieceCheck::PieceLength(uint32 iPiece) const {
    uint64 iStart = static_cast<uint64>(iPiece) * m_oTable.PieceSize;
    return iStart >= m_oTable.Size ? 0 : std::min<uint64>(m_oTable.PieceSize, m_oTable.Size - iStart);
}

std::string CRcPieceCheck::RangeValue() const {
    if (m_oTable.Pieces == 0) return std::string();
    return "bytes=" + std::to_string(m_iFirst) + "-" + std::to_string(m_iFirst + m_iLength - 1);
}

void CRcPieceCheck::Reset() {
    m_strContentRange.clear();
    m_bHasLength = false;
    m_iContentLength = 0;
    m_bHeadChecked = false;
    m_bWrong = false;
    m_iJudged = m_iPiece;
    m_iWant = m_iLength;
    m_oBody.clear();
    m_strWhy.clear();
}

void CRcPieceCheck::OnHeader(const char* p, size_t n) {
    if (n >= 5 && strncmp(p, "HTTP/", 5) == 0) {
        Reset();
        return;
    }
    const char* pColon = static_cast<const char*>(memchr(p, ':', n));
    if (pColon == nullptr) return;
    size_t iName = static_cast<size_t>(pColon - p);
    std::string strValue = Trimmed(pColon + 1, n - iName - 1);
    if (iName == 13 && strncasecmp(p, "content-range", 13) == 0) {
        m_strContentRange = strValue;
    } else if (iName == 14 && strncasecmp(p, "content-length", 14) == 0) {
        unsigned long long ull = 0;
        m_bHasLength = ParseLength(strValue, ull);
        m_iContentLength = ull;
    }
}

bool CRcPieceCheck::ParseLength(const std::string& strValue, unsigned long long& ull) {
    char* pEnd = nullptr;
    if (strValue.empty() || strValue[0] < '0' || strValue[0] > '9') return false;
    ull = strtoull(strValue.c_str(), &pEnd, 10);
    return *pEnd == '\0';
}

bool CRcPieceCheck::Fail(const std::string& strWhy) {
    m_bWrong = true;
    if (m_strWhy.empty()) m_strWhy = strWhy;
    return false;
}

bool CRcPieceCheck::OnBody(long lStatus, const unsigned char* p, size_t n) {
    if (m_bWrong) return false;
    if (!m_bHeadChecked) {
        m_bHeadChecked = true;
        if (lStatus == 200 || m_oTable.Pieces == 0) {
            // The whole file: its first piece is what can be judged.
            if (m_oTable.Pieces > 0) m_nRanges = RC_RANGES_NO;
            if (m_bHasLength && m_iContentLength != m_oTable.Size)
                return Fail("has " + std::to_string(m_iContentLength) + " bytes, the record " +
                            std::to_string(m_oTable.Size));
            m_iJudged = 0;
            m_iWant = m_oTable.Pieces == 0 ? 0 : PieceLength(0);
        } else if (lStatus == 206) {
            m_nRanges = RC_RANGES_YES;
            unsigned long long ullFirst = 0, ullLast = 0, ullTotal = 0;
            char cEnd = 0;
            if (sscanf(m_strContentRange.c_str(), "bytes %llu-%llu/%llu%c", &ullFirst, &ullLast, &ullTotal, &cEnd) != 3)
                return Fail("sent no usable Content-Range (\"" + m_strContentRange.substr(0, 80) + "\")");
            if (ullTotal != m_oTable.Size)
                return Fail("has " + std::to_string(ullTotal) + " bytes, the record " + std::to_string(m_oTable.Size));
            if (ullFirst != m_iFirst || ullLast + 1 != m_iFirst + m_iLength)
                return Fail("sent bytes " + std::to_string(ullFirst) + "-" + std::to_string(ullLast) + " for " +
                            RangeValue());
            if (m_bHasLength && m_iContentLength != m_iLength)
                return Fail("sent Content-Length " + std::to_string(m_iContentLength) + " for a piece of " +
                            std::to_string(m_iLength));
        } else {
            return false;  // judged by its status alone
        }
    }
    if (m_oBody.size() + n > m_iWant) {
        // A 206 longer than its range is another file's; a 200 is cut at
        // the piece, all that is judged of it.
        if (m_nRanges == RC_RANGES_YES || m_oTable.Pieces == 0) return Fail("sent more than the piece");
        m_oBody.insert(m_oBody.end(), p, p + (m_iWant - m_oBody.size()));
        return false;
    }
    m_oBody.insert(m_oBody.end(), p, p + n);
    return m_oBody.size() < m_iWant || m_oTable.Pieces == 0;
}

ERcHealthState CRcPieceCheck::Verdict(long lStatus, bool bComplete) {
    if (lStatus == 404 || lStatus == 410) {
        m_strWhy = "answered HTTP " + std::to_string(lStatus);
        return RC_HEALTH_MISSING;
    }
    if (lStatus == 416) {
        m_strWhy = "cannot serve " + RangeValue() + " (416): the file is shorter";
        return RC_HEALTH_WRONG_CONTENT;
    }
    if (lStatus != 200 && lStatus != 206) {
        m_strWhy = lStatus == 0 ? "no answer" : "answered HTTP " + std::to_string(lStatus);
        return RC_HEALTH_UNREACHABLE;
    }
    // An empty body never reached OnBody: its head is judged here.
    if (!m_bHeadChecked) OnBody(lStatus, nullptr, 0);
    if (m_bWrong) return RC_HEALTH_WRONG_CONTENT;
    if (m_oBody.size() < m_iWant) {
        if (!bComplete) {
            m_strWhy = "the answer broke off";
            return RC_HEALTH_UNREACHABLE;
        }
        m_strWhy = "sent " + std::to_string(m_oBody.size()) + " bytes of a piece of " + std::to_string(m_iWant);
        return RC_HEALTH_WRONG_CONTENT;
    }
    if (m_oTable.Pieces == 0) return RC_HEALTH_OK;
    unsigned char arMd5[16];
    md5_buffer(reinterpret_cast<const char*>(m_oBody.data()), static_cast<unsigned int>(m_oBody.size()), arMd5);
    if (memcmp(arMd5, &m_oTable.Digests[static_cast<size_t>(m_iJudged) * 16], 16) != 0) {
        m_strWhy = "piece " + std::to_string(m_iJudged) + " differs";
        return RC_HEALTH_WRONG_CONTENT;
    }
    return RC_HEALTH_OK;
}
