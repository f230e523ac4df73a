#include "progress_line.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

CProgressLine::CProgressLine(int iFd) : CProgressLine(iFd, isatty(iFd) == 1, &CProgressLine::MonotonicUs) {}

CProgressLine::CProgressLine(int iFd, bool bEnabled, ClockUs pfnClock)
    : m_iFd(iFd),
      m_bEnabled(bEnabled),
      m_pfnClock(pfnClock),
      m_iPass(1),
      m_iPasses(1),
      m_uiPassStart(0),
      m_uiLastDraw(0),
      m_uiShown(0) {
    if (m_bEnabled) m_uiPassStart = m_uiLastDraw = m_pfnClock();
}

CProgressLine::~CProgressLine() { Finish(); }

void CProgressLine::StartPass(int iPass, int iPasses, const char* pszName) {
    m_iPass = iPass;
    m_iPasses = iPasses;
    m_strName = pszName != nullptr ? pszName : "";
    if (!m_bEnabled) return;
    m_uiPassStart = m_uiLastDraw = m_pfnClock();
    if (m_uiShown > 0) Draw(Format(m_iPass, m_iPasses, m_strName.c_str(), 0, 1, 0));
}

void CProgressLine::OnDigestProgress(unsigned long long uiDone, unsigned long long uiTotal) {
    if (!m_bEnabled) return;
    uint64 uiNow = m_pfnClock();
    if (uiNow - m_uiLastDraw < INTERVAL_US) return;
    m_uiLastDraw = uiNow;
    Draw(Format(m_iPass, m_iPasses, m_strName.c_str(), uiDone, uiTotal, uiNow - m_uiPassStart));
}

void CProgressLine::Finish() {
    if (m_uiShown == 0) return;
    Write("\r" + std::string(m_uiShown, ' ') + "\r");
    m_uiShown = 0;
}

std::string CProgressLine::Format(int iPass, int iPasses, const char* pszName, unsigned long long uiDone,
                                  unsigned long long uiTotal, uint64 uiElapsedUs) {
    // Rounded down, so 100% means every byte; nothing to read is done.
    unsigned long long uiPercent = 100;
    if (uiDone < uiTotal) {
        uiPercent = uiTotal <= ~0ULL / 100 ? uiDone * 100 / uiTotal : uiDone / (uiTotal / 100);
    }
    char szRate[32];
    if (uiElapsedUs == 0) {
        snprintf(szRate, sizeof(szRate), "-- MB/s");
    } else {
        // Bytes per microsecond is 10^6 bytes per second.
        snprintf(szRate, sizeof(szRate), "%.1f MB/s", static_cast<double>(uiDone) / static_cast<double>(uiElapsedUs));
    }
    char szLine[160];
    snprintf(szLine, sizeof(szLine), "digests: pass %d/%d (%s) %3llu%%  %s", iPass, iPasses,
             pszName != nullptr ? pszName : "", uiPercent, szRate);
    return szLine;
}

uint64 CProgressLine::MonotonicUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64>(ts.tv_sec) * 1000000ULL + static_cast<uint64>(ts.tv_nsec) / 1000ULL;
}

void CProgressLine::Draw(const std::string& strText) {
    // Spaces cover what a longer earlier line left; the cursor then comes
    // back to the end of the text.
    std::string strOut = "\r" + strText;
    if (strText.size() < m_uiShown) {
        strOut += std::string(m_uiShown - strText.size(), ' ');
        strOut += "\r" + strText;
    }
    Write(strOut);
    m_uiShown = strText.size();
}

void CProgressLine::Write(const std::string& strBytes) {
    const char* p = strBytes.data();
    size_t uiLeft = strBytes.size();
    while (uiLeft > 0) {
        ssize_t n = write(m_iFd, p, uiLeft);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        uiLeft -= static_cast<size_t>(n);
    }
}
