// CRcJournal: the append-only file of accepted reports, one line each. A line
// is on disk (written whole and synced) when Append returns 0, so an answer
// sent after it can never name a report the journal lost; a failed append is
// cut back off, so a reader never sees half a line. A journal whose name was
// removed or replaced since it was opened is opened again by name before the
// next line, so no line goes to a file nobody can find. Owns its descriptor;
// single-threaded.
#ifndef ZQ_RC_JOURNAL_H
#define ZQ_RC_JOURNAL_H

#include <string>

#include <ctime>

#include "common_header.h"
#include "report_wire.h"

class CRcJournal {
public:
    explicit CRcJournal(const std::string& strPath);
    ~CRcJournal();
    CRcJournal(const CRcJournal&) = delete;
    CRcJournal& operator=(const CRcJournal&) = delete;

    // Creates the missing directories and the file, and syncs a new file's
    // directory entry. 0, or the system error number of the failed step.
    int Open();
    // Writes strLine at the end and syncs it, first opening the path again
    // (directories included) when it no longer names the open file. 0, or
    // the system error number of the failed step (EBADF before Open).
    int Append(const std::string& strLine);

    const std::string& GetPath() const { return m_strPath; }
    int GetFd() const { return m_iFd; }

private:
    // 0 when the descriptor still is the file at the path (reopened if not).
    int KeepNamed();

    std::string m_strPath;
    int m_iFd;
    bool m_bOpened;  // Open succeeded once: later failures are retried
};

// One journal line for an accepted report received at tNow, ending in a
// newline: tab-separated key=value fields, "time" first (UTC, ISO 8601), then
// every field zq_ident prints under its name, then file, ext, url and ref.
std::string rc_journal_line(const rc_report_t& oReport, time_t tNow);

// A text as it appears in a journal value: backslash, tab, newline, carriage
// return and the other control bytes are escaped (\\, \t, \n, \r, \xHH), so a
// value never splits a line or a field; other bytes are kept as they are.
std::string rc_journal_escape(const std::string& strText);

#endif
