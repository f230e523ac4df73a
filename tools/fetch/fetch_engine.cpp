#include "fetch_engine.h"
#include "fetch_http.h"
#include "fetch_record.h"
#include "str_util.h"

#include <curl/curl.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "md5.h"

namespace {

// Bad pieces or broken transfers a mirror is forgiven before it is dropped.
const unsigned int kStrikes = 3;
const uint64 kMaxRangeBytes = 8ULL << 20;
// SHA-1 bytes taken per turn of the loop, so the connections are not kept
// waiting while a long run of done pieces is hashed.
const uint64 kHashPerTurn = 8ULL << 20;
const long kProgressEveryMs = 250;

long now_ms() {
    using namespace std::chrono;
    return static_cast<long>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

struct mirror_t {
    std::string Url;
    unsigned int Active = 0;
    unsigned int Strikes = 0;
    bool Dropped = false;
    double Rate = 0;  // bytes per second of its last whole range; 0 before one
};

class CFetchEngine;

// One easy handle and the range it is fetching.
struct conn_t {
    CFetchEngine* Engine = nullptr;
    CURL* Easy = nullptr;
    bool Busy = false;
    int Mirror = -1;
    uint32 First = 0;
    // Pieces of the range still its own: a faster connection may take the
    // end of the range over, and this one then stops at the new end.
    uint32 Count = 0;
    uint32 Next = 0;  // pieces of the range dealt with, good or bad
    uint64 RangeStart = 0;
    uint64 RangeLen = 0;
    uint64 Received = 0;
    std::vector<unsigned char> Piece;
    size_t Have = 0;
    bool Checked = false;
    std::string ContentRange;
    bool HasLength = false;
    uint64 Length = 0;
    long StartMs = 0;
    std::string Abort;  // why the transfer was stopped from a callback
    bool AbortDrops = false;
    bool Shortened = false;  // stopped at an end moved up by TakeOver
};

class CFetchEngine {
public:
    CFetchEngine(const std::vector<std::string>& oUrls, const tpt_table_t& oTable, CFetchPlan& oPlan,
                 CFetchFile& oFile, const fetch_opts_t& oOpts)
        : m_oTable(oTable), m_oPlan(oPlan), m_oFile(oFile), m_oOpts(oOpts) {
        for (size_t i = 0; i < oUrls.size() && i < CFetchPlan::MAX_MIRRORS; ++i) {
            mirror_t oMirror;
            oMirror.Url = oUrls[i];
            m_oMirrors.push_back(oMirror);
        }
    }
    ~CFetchEngine() {
        for (conn_t& oConn : m_oConns) {
            if (oConn.Easy == nullptr) continue;
            if (oConn.Busy) curl_multi_remove_handle(m_pMulti, oConn.Easy);
            curl_easy_cleanup(oConn.Easy);
        }
        if (m_pMulti != nullptr) curl_multi_cleanup(m_pMulti);
    }

    fetch_result_t Run();
    size_t OnHeader(conn_t& oConn, const char* p, size_t n);
    size_t OnBody(conn_t& oConn, const unsigned char* p, size_t n);

private:
    bool StartRange(conn_t& oConn, int iMirror);
    void Fill();
    bool TakeOver(conn_t& oThief);
    void OnDone(conn_t& oConn, CURLcode eCode);
    bool CheckHead(conn_t& oConn);
    bool OnPiece(conn_t& oConn);
    void Strike(int iMirror, const std::string& strWhy);
    void Drop(int iMirror, const std::string& strWhy);
    void Abort(conn_t& oConn, const std::string& strWhy, bool bDrop);
    void Say(const std::string& strLine);
    void DrawProgress();
    void ClearProgress();

    const tpt_table_t& m_oTable;
    CFetchPlan& m_oPlan;
    CFetchFile& m_oFile;
    const fetch_opts_t& m_oOpts;
    std::vector<mirror_t> m_oMirrors;
    std::vector<conn_t> m_oConns;
    CURLM* m_pMulti = nullptr;
    unsigned int m_uiActive = 0;
    bool m_bStop = false;
    fetch_result_t m_oResult;
    long m_lStartMs = 0;
    long m_lDrawnMs = 0;
    size_t m_uiShown = 0;
};

size_t header_cb(char* p, size_t size, size_t n, void* pUser) {
    conn_t* pConn = static_cast<conn_t*>(pUser);
    return pConn->Engine->OnHeader(*pConn, p, size * n);
}

size_t body_cb(char* p, size_t size, size_t n, void* pUser) {
    conn_t* pConn = static_cast<conn_t*>(pUser);
    return pConn->Engine->OnBody(*pConn, reinterpret_cast<const unsigned char*>(p), size * n);
}

std::string trimmed(const char* p, size_t n) {
    while (n > 0 && (*p == ' ' || *p == '\t')) ++p, --n;
    while (n > 0 && (p[n - 1] == '\r' || p[n - 1] == '\n' || p[n - 1] == ' ')) --n;
    return std::string(p, n);
}

size_t CFetchEngine::OnHeader(conn_t& oConn, const char* p, size_t n) {
    // Each answer of a redirect chain brings its own headers: only the last
    // one's count.
    if (n >= 5 && strncmp(p, "HTTP/", 5) == 0) {
        oConn.ContentRange.clear();
        oConn.HasLength = false;
        return n;
    }
    const char* pColon = static_cast<const char*>(memchr(p, ':', n));
    if (pColon == nullptr) return n;
    size_t uiName = static_cast<size_t>(pColon - p);
    std::string strValue = trimmed(pColon + 1, n - uiName - 1);
    if (uiName == 13 && strncasecmp(p, "content-range", 13) == 0) {
        oConn.ContentRange = strValue;
    } else if (uiName == 14 && strncasecmp(p, "content-length", 14) == 0) {
        unsigned long long ull = 0;
        oConn.HasLength = fetch_http_number(strValue, ull);
        oConn.Length = ull;
    }
    return n;
}

// The answer's status and headers, before its first byte is taken.
bool CFetchEngine::CheckHead(conn_t& oConn) {
    long lStatus = 0;
    curl_easy_getinfo(oConn.Easy, CURLINFO_RESPONSE_CODE, &lStatus);
    uint64 uiLast = oConn.RangeStart + oConn.RangeLen - 1;
    if (lStatus == 200) {
        // A range that is the whole file may come back whole.
        if (oConn.RangeStart == 0 && oConn.RangeLen == m_oTable.Size && (!oConn.HasLength || oConn.Length == m_oTable.Size))
            return true;
        Abort(oConn, "ignores Range (200 instead of 206)", true);
        return false;
    }
    if (lStatus != 206) {
        Abort(oConn, "answered HTTP " + std::to_string(lStatus), true);
        return false;
    }
    unsigned long long ullFirst = 0, ullLast = 0, ullTotal = 0;
    bool bTotal = false;
    if (!fetch_content_range(oConn.ContentRange, ullFirst, ullLast, bTotal, ullTotal)) {
        Abort(oConn, "sent no usable Content-Range (\"" + oConn.ContentRange + "\")", true);
        return false;
    }
    if (bTotal && ullTotal != m_oTable.Size) {
        Abort(oConn, "has " + std::to_string(ullTotal) + " bytes, the table " + std::to_string(m_oTable.Size), true);
        return false;
    }
    if (ullFirst != oConn.RangeStart || ullLast != uiLast) {
        Abort(oConn, "sent bytes " + std::to_string(ullFirst) + "-" + std::to_string(ullLast) + " for " +
                         std::to_string(oConn.RangeStart) + "-" + std::to_string(uiLast), true);
        return false;
    }
    if (oConn.HasLength && oConn.Length != oConn.RangeLen) {
        Abort(oConn, "sent Content-Length " + std::to_string(oConn.Length) + " for a range of " +
                         std::to_string(oConn.RangeLen), true);
        return false;
    }
    return true;
}

size_t CFetchEngine::OnBody(conn_t& oConn, const unsigned char* p, size_t n) {
    if (m_bStop) return 0;
    if (!oConn.Checked) {
        if (!CheckHead(oConn)) return 0;
        oConn.Checked = true;
    }
    if (oConn.Next >= oConn.Count) {
        oConn.Shortened = true;
        return 0;
    }
    if (n > oConn.RangeLen - oConn.Received) {
        Abort(oConn, "sent more bytes than the range asked for", true);
        return 0;
    }
    oConn.Received += n;
    m_oResult.BytesFetched += n;
    size_t uiUsed = 0;
    while (uiUsed < n) {
        size_t uiPiece = static_cast<size_t>(m_oFile.PieceBytes(oConn.First + oConn.Next));
        size_t uiTake = std::min(n - uiUsed, uiPiece - oConn.Have);
        memcpy(oConn.Piece.data() + oConn.Have, p + uiUsed, uiTake);
        oConn.Have += uiTake;
        uiUsed += uiTake;
        if (oConn.Have == uiPiece && !OnPiece(oConn)) return 0;
        if (oConn.Next >= oConn.Count && oConn.Received < oConn.RangeLen) {
            oConn.Shortened = true;
            return 0;
        }
    }
    return n;
}

// A whole piece is in: written when it matches the table, wanted again
// from another mirror when it does not.
bool CFetchEngine::OnPiece(conn_t& oConn) {
    uint32 uiPiece = oConn.First + oConn.Next;
    size_t uiLen = oConn.Have;
    oConn.Have = 0;
    ++oConn.Next;
    unsigned char arMd5[16];
    md5_buffer(reinterpret_cast<const char*>(oConn.Piece.data()), static_cast<unsigned int>(uiLen), arMd5);
    if (memcmp(arMd5, &m_oTable.Digests[uiPiece * 16ULL], 16) != 0) {
        ++m_oResult.BadPieces;
        m_oPlan.Damaged(uiPiece, static_cast<unsigned int>(oConn.Mirror));
        mirror_t& oMirror = m_oMirrors[oConn.Mirror];
        Say("zq_fetch: piece " + std::to_string(uiPiece) + " from " + oMirror.Url + " does not match the table");
        if (++oMirror.Strikes >= kStrikes) {
            Abort(oConn, "sent " + std::to_string(oMirror.Strikes) + " bad pieces", true);
            return false;
        }
        return true;
    }
    std::string strWhy;
    if (m_oFile.WritePiece(uiPiece, oConn.Piece.data(), uiLen, strWhy) != 0) {
        m_oPlan.Return(uiPiece);
        m_oResult.Outcome = fetch_result_t::WRITE_FAILED;
        m_oResult.Why = strWhy;
        m_bStop = true;
        return false;
    }
    m_oPlan.Done(uiPiece);
    ++m_oResult.PiecesWritten;
    return true;
}

void CFetchEngine::Abort(conn_t& oConn, const std::string& strWhy, bool bDrop) {
    if (!oConn.Abort.empty()) return;
    oConn.Abort = strWhy;
    oConn.AbortDrops = bDrop;
}

void CFetchEngine::Say(const std::string& strLine) {
    ClearProgress();
    fprintf(stderr, "%s\n", fetch_printable(strLine).c_str());
}

void CFetchEngine::Drop(int iMirror, const std::string& strWhy) {
    mirror_t& oMirror = m_oMirrors[iMirror];
    if (oMirror.Dropped) return;
    oMirror.Dropped = true;
    Say("zq_fetch: dropping mirror " + oMirror.Url + ": " + strWhy);
}

void CFetchEngine::Strike(int iMirror, const std::string& strWhy) {
    mirror_t& oMirror = m_oMirrors[iMirror];
    if (++oMirror.Strikes >= kStrikes) Drop(iMirror, strWhy);
}

bool CFetchEngine::StartRange(conn_t& oConn, int iMirror) {
    mirror_t& oMirror = m_oMirrors[iMirror];
    // Ranges shrink as the work runs out, so the last ones end together
    // instead of one slow connection holding the end of the file.
    uint64 uiWantedBytes = static_cast<uint64>(m_oPlan.Wanted()) * m_oTable.PieceSize;
    uint64 uiBytes = uiWantedBytes / (2ULL * std::max(1U, m_oOpts.Connections));
    uiBytes = std::min(uiBytes, kMaxRangeBytes);
    uint32 uiMax = static_cast<uint32>(std::max<uint64>(1, uiBytes / m_oTable.PieceSize));
    uint32 uiFirst = 0, uiCount = 0;
    if (!m_oPlan.Take(static_cast<unsigned int>(iMirror), uiMax, uiFirst, uiCount)) return false;
    if (oConn.Easy == nullptr) {
        oConn.Easy = curl_easy_init();
        if (oConn.Easy == nullptr) {
            for (uint32 k = 0; k < uiCount; ++k) m_oPlan.Return(uiFirst + k);
            return false;
        }
        oConn.Piece.resize(static_cast<size_t>(m_oTable.PieceSize));
        CURL* e = oConn.Easy;
        curl_easy_setopt(e, CURLOPT_PRIVATE, &oConn);
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        if (!m_oOpts.CaFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, m_oOpts.CaFile.c_str());
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_USERAGENT, "zq_fetch");
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT, m_oOpts.StallSeconds);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, m_oOpts.StallSeconds);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, header_cb);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, &oConn);
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, body_cb);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &oConn);
    }
    if (oConn.Mirror != iMirror) curl_easy_setopt(oConn.Easy, CURLOPT_URL, oMirror.Url.c_str());
    oConn.Mirror = iMirror;
    oConn.First = uiFirst;
    oConn.Count = uiCount;
    oConn.Next = 0;
    oConn.RangeStart = static_cast<uint64>(uiFirst) * m_oTable.PieceSize;
    oConn.RangeLen = 0;
    for (uint32 k = 0; k < uiCount; ++k) oConn.RangeLen += m_oFile.PieceBytes(uiFirst + k);
    oConn.Received = 0;
    oConn.Have = 0;
    oConn.Checked = false;
    oConn.ContentRange.clear();
    oConn.HasLength = false;
    oConn.Abort.clear();
    oConn.AbortDrops = false;
    oConn.Shortened = false;
    oConn.StartMs = now_ms();
    std::string strRange = std::to_string(oConn.RangeStart) + "-" + std::to_string(oConn.RangeStart + oConn.RangeLen - 1);
    curl_easy_setopt(oConn.Easy, CURLOPT_RANGE, strRange.c_str());
    if (curl_multi_add_handle(m_pMulti, oConn.Easy) != CURLM_OK) {
        for (uint32 k = 0; k < uiCount; ++k) m_oPlan.Return(uiFirst + k);
        return false;
    }
    oConn.Busy = true;
    ++oMirror.Active;
    ++m_uiActive;
    return true;
}

// Gives every idle connection a range: from its own mirror when it may,
// otherwise from the live mirror with the fewest connections.
void CFetchEngine::Fill() {
    for (conn_t& oConn : m_oConns) {
        if (m_bStop) return;
        if (oConn.Busy) continue;
        std::vector<int> oOrder;
        for (size_t i = 0; i < m_oMirrors.size(); ++i) {
            if (!m_oMirrors[i].Dropped && m_oMirrors[i].Active < m_oOpts.PerMirror) oOrder.push_back(static_cast<int>(i));
        }
        std::stable_sort(oOrder.begin(), oOrder.end(), [&](int a, int b) {
            bool bOwnA = a == oConn.Mirror, bOwnB = b == oConn.Mirror;
            if (bOwnA != bOwnB) return bOwnA;
            return m_oMirrors[a].Active < m_oMirrors[b].Active;
        });
        bool bStarted = false;
        for (int iMirror : oOrder) {
            if ((bStarted = StartRange(oConn, iMirror))) break;
        }
        if (!bStarted && !oOrder.empty()) TakeOver(oConn);
    }
}

// Nothing is left to hand out, but a slower connection still has pieces
// ahead of it: an idle connection to a mirror that has shown itself faster
// takes the second half of them, so the end of the file does not wait on
// the slowest mirror.
bool CFetchEngine::TakeOver(conn_t& oThief) {
    const long lNow = now_ms();
    conn_t* pVictim = nullptr;
    int iThiefMirror = -1;
    uint32 uiVictimBase = 0;
    double dLongest = 0;
    for (conn_t& oConn : m_oConns) {
        if (!oConn.Busy || m_oMirrors[oConn.Mirror].Dropped) continue;
        long lElapsed = std::max(1L, lNow - oConn.StartMs);
        // The piece on its way stays with it, unless nothing at all has come
        // for a second: then it may be waiting on a mirror that stalls.
        bool bSilent = oConn.Received == 0 && lElapsed > 1000;
        uint32 uiBase = std::min(oConn.Count, oConn.Next + (bSilent ? 0 : 1));
        uint32 uiAhead = oConn.Count - uiBase;
        if (uiAhead == 0) continue;
        double dRate = oConn.Received * 1000.0 / lElapsed;
        double dLeft = uiAhead * static_cast<double>(m_oTable.PieceSize) / std::max(1.0, dRate);
        if (dLeft <= dLongest) continue;
        for (size_t i = 0; i < m_oMirrors.size(); ++i) {
            const mirror_t& oMirror = m_oMirrors[i];
            if (oMirror.Dropped || oMirror.Active >= m_oOpts.PerMirror || oMirror.Rate < 1.5 * dRate ||
                oMirror.Rate <= 0)
                continue;
            pVictim = &oConn;
            iThiefMirror = static_cast<int>(i);
            uiVictimBase = uiBase;
            dLongest = dLeft;
            break;
        }
    }
    if (pVictim == nullptr) return false;
    uint32 uiGive = (pVictim->Count - uiVictimBase + 1) / 2;
    uint32 uiKeep = pVictim->Count - uiGive;
    for (uint32 k = uiKeep; k < pVictim->Count; ++k) m_oPlan.Return(pVictim->First + k);
    pVictim->Count = uiKeep;
    return StartRange(oThief, iThiefMirror);
}

void CFetchEngine::OnDone(conn_t& oConn, CURLcode eCode) {
    curl_multi_remove_handle(m_pMulti, oConn.Easy);
    oConn.Busy = false;
    --m_uiActive;
    mirror_t& oMirror = m_oMirrors[oConn.Mirror];
    --oMirror.Active;
    // Whatever of the range did not arrive is wanted again.
    for (uint32 k = oConn.Next; k < oConn.Count; ++k) m_oPlan.Return(oConn.First + k);
    if (m_bStop) return;
    std::string strStall = "sent nothing for " + std::to_string(m_oOpts.StallSeconds) + " s";
    if (!oConn.Abort.empty()) {
        if (oConn.AbortDrops) Drop(oConn.Mirror, oConn.Abort);
        return;
    }
    if (oConn.Shortened) return;
    switch (eCode) {
        case CURLE_OK:
            if (!oConn.Checked && !CheckHead(oConn)) {
                Drop(oConn.Mirror, oConn.Abort);
            } else if (oConn.Received < oConn.RangeLen) {
                Strike(oConn.Mirror, "closed the connection early, " + std::to_string(kStrikes) + " times");
            } else {
                oMirror.Rate = oConn.Received * 1000.0 / std::max(1L, now_ms() - oConn.StartMs);
            }
            return;
        case CURLE_OPERATION_TIMEDOUT:
            Drop(oConn.Mirror, strStall);
            return;
        case CURLE_UNSUPPORTED_PROTOCOL:
            Drop(oConn.Mirror, "not http or https (itself or where it redirects)");
            return;
        case CURLE_TOO_MANY_REDIRECTS:
            Drop(oConn.Mirror, "more than 5 redirects");
            return;
        case CURLE_URL_MALFORMAT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
            Drop(oConn.Mirror, curl_easy_strerror(eCode));
            return;
        default:
            Strike(oConn.Mirror, std::string(curl_easy_strerror(eCode)) + ", " + std::to_string(kStrikes) + " times");
            return;
    }
}

void CFetchEngine::DrawProgress() {
    if (!m_oOpts.Progress) return;
    long lNow = now_ms();
    if (lNow - m_lDrawnMs < kProgressEveryMs) return;
    m_lDrawnMs = lNow;
    unsigned int uiLive = 0;
    for (const mirror_t& oMirror : m_oMirrors) uiLive += oMirror.Active > 0 ? 1 : 0;
    double dSeconds = std::max(0.001, (lNow - m_lStartMs) / 1000.0);
    unsigned int uiPercent =
        m_oPlan.Pieces() == 0 ? 100 : static_cast<unsigned int>(100ULL * m_oPlan.DoneCount() / m_oPlan.Pieces());
    char szLine[160];
    snprintf(szLine, sizeof(szLine), "fetch: %3u%%  %.1f MB/s  %u mirrors  %u bad pieces", uiPercent,
             m_oResult.BytesFetched / dSeconds / 1e6, uiLive, m_oResult.BadPieces);
    std::string strLine = szLine;
    size_t uiLen = strLine.size();
    if (uiLen < m_uiShown) strLine.append(m_uiShown - uiLen, ' ');
    std::string strOut = "\r" + strLine;
    ssize_t n = write(STDERR_FILENO, strOut.data(), strOut.size());
    (void)n;
    m_uiShown = uiLen;
}

void CFetchEngine::ClearProgress() {
    if (m_uiShown == 0) return;
    std::string strOut = "\r" + std::string(m_uiShown, ' ') + "\r";
    ssize_t n = write(STDERR_FILENO, strOut.data(), strOut.size());
    (void)n;
    m_uiShown = 0;
}

fetch_result_t CFetchEngine::Run() {
    m_lStartMs = now_ms();
    // As the digest passes' line: quick work shows nothing.
    m_lDrawnMs = m_lStartMs;
    m_pMulti = curl_multi_init();
    if (m_pMulti == nullptr) {
        m_oResult.Missing = m_oPlan.NotDone();
        return m_oResult;
    }
    m_oConns.resize(std::max(1U, m_oOpts.Connections));
    for (conn_t& oConn : m_oConns) oConn.Engine = this;
    std::string strWhy;
    while (!m_bStop && !m_oPlan.Complete()) {
        Fill();
        if (m_uiActive == 0) break;
        int iRunning = 0;
        curl_multi_perform(m_pMulti, &iRunning);
        int iLeft = 0;
        while (CURLMsg* pMsg = curl_multi_info_read(m_pMulti, &iLeft)) {
            if (pMsg->msg != CURLMSG_DONE) continue;
            conn_t* pConn = nullptr;
            curl_easy_getinfo(pMsg->easy_handle, CURLINFO_PRIVATE, reinterpret_cast<char**>(&pConn));
            if (pConn != nullptr) OnDone(*pConn, pMsg->data.result);
        }
        if (!m_bStop && m_oFile.HashUpTo(m_oPlan.DonePrefix(), kHashPerTurn, strWhy) != 0) {
            m_oResult.Outcome = fetch_result_t::WRITE_FAILED;
            m_oResult.Why = strWhy;
            m_bStop = true;
        }
        DrawProgress();
        if (m_uiActive > 0 && !m_bStop) curl_multi_poll(m_pMulti, nullptr, 0, 100, nullptr);
    }
    ClearProgress();
    if (m_oResult.Outcome == fetch_result_t::WRITE_FAILED) return m_oResult;
    if (m_oPlan.Complete()) {
        m_oResult.Outcome = fetch_result_t::COMPLETE;
    } else {
        m_oResult.Missing = m_oPlan.NotDone();
    }
    return m_oResult;
}

}  // namespace

fetch_result_t fetch_run(const std::vector<std::string>& oUrls, const tpt_table_t& oTable, CFetchPlan& oPlan,
                         CFetchFile& oFile, const fetch_opts_t& oOpts) {
    CFetchEngine oEngine(oUrls, oTable, oPlan, oFile, oOpts);
    return oEngine.Run();
}
