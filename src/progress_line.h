// CProgressLine: one self-updating line on a terminal telling how far the
// digest passes over a file have got: the pass, the percentage of the file
// and the rate in MB/s (10^6 bytes per second). It writes nothing at all when
// its descriptor is not a terminal, so scripts and logs stay clean. The
// first drawing waits a quarter of a second into a pass and later ones come
// at most every quarter of a second, so quick work shows nothing; Finish
// clears the line. Used by one thread at a time; write errors are ignored.
#ifndef ZQ_PROGRESS_LINE_H
#define ZQ_PROGRESS_LINE_H

#include <string>

#include "common_header.h"
#include "helper.h"

class CProgressLine : public CDigestProgress {
public:
    typedef uint64 (*ClockUs)();
    static constexpr uint64 INTERVAL_US = 250000;

    // Draws on iFd when it is a terminal.
    explicit CProgressLine(int iFd);
    // Draws on iFd when bEnabled, taking the time from pfnClock (microseconds).
    CProgressLine(int iFd, bool bEnabled, ClockUs pfnClock);
    // Clears the line.
    ~CProgressLine() override;
    CProgressLine(const CProgressLine&) = delete;
    CProgressLine& operator=(const CProgressLine&) = delete;

    bool IsEnabled() const { return m_bEnabled; }
    // Pass iPass (from 1) of iPasses begins; pszName says what it computes.
    // A line on show is redrawn at once for the new pass.
    void StartPass(int iPass, int iPasses, const char* pszName);
    void OnDigestProgress(unsigned long long uiDone, unsigned long long uiTotal) override;
    // Removes the line, if one is on show.
    void Finish();

    // The text of the line: "digests: pass 2/3 (sha1)  42%  812.3 MB/s".
    static std::string Format(int iPass, int iPasses, const char* pszName, unsigned long long uiDone,
                              unsigned long long uiTotal, uint64 uiElapsedUs);
    // The monotonic clock in microseconds.
    static uint64 MonotonicUs();

private:
    void Draw(const std::string& strText);
    void Write(const std::string& strBytes);

    int m_iFd;
    bool m_bEnabled;
    ClockUs m_pfnClock;
    int m_iPass;
    int m_iPasses;
    std::string m_strName;
    uint64 m_uiPassStart;
    uint64 m_uiLastDraw;
    size_t m_uiShown;  // characters of the line on show, 0 when none
};

#endif
