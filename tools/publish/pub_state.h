// CPubState: what zq_publish remembers of a tree between runs, in one SQLite
// file: per path under the tree, the device, inode, size, modification and
// change times (nanoseconds) it saw when it read the file, when the row was
// written, the center's answer (0 accepted, 1 already known) and the digests
// the record was built from, so that a file moved within the tree can be
// reported again without being read. A row is written only once the center
// has answered 0 or 1. Owns its connection; single-threaded. Calls return
// 0 / -1 with the reason in the string the caller passes.
#ifndef ZQ_PUB_STATE_H
#define ZQ_PUB_STATE_H

#include <sqlite3.h>
#include <sys/stat.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "common_header.h"
#include "rc_digests.h"

// The five values a file is recognised by, as lstat gives them.
struct pub_stat_t {
    uint64 Dev = 0;
    uint64 Ino = 0;
    uint64 Size = 0;
    sint64 MtimeNs = 0;
    sint64 CtimeNs = 0;

    static pub_stat_t Of(const struct stat& st);
    bool operator==(const pub_stat_t& o) const {
        return Dev == o.Dev && Ino == o.Ino && Size == o.Size && MtimeNs == o.MtimeNs && CtimeNs == o.CtimeNs;
    }
    bool operator!=(const pub_stat_t& o) const { return !(*this == o); }
};

// A row without its digests: what deciding whether to read a file needs.
struct pub_row_t {
    pub_stat_t Stat;
    sint64 WrittenNs = 0;
    int Answer = 0;
};

class CPubState {
public:
    CPubState() = default;
    ~CPubState();
    CPubState(const CPubState&) = delete;
    CPubState& operator=(const CPubState&) = delete;

    // Opens (bCreate: creates, with its folder) the state file and loads
    // every row's stat values. A read-only open of a missing file is an
    // empty state.
    int Open(const std::string& strPath, bool bCreate, std::string& strWhy);

    // The row of strPath, or null. Valid until the next Put or Remove.
    const pub_row_t* Find(const std::string& strPath) const;
    // A path whose row has the same device, inode, size and modification
    // time, other than strExcept (several: the first found); empty if none.
    std::string FindInode(const pub_stat_t& oStat, const std::string& strExcept) const;
    // The digests recorded for strPath; -1 when there is no such row.
    int Digests(const std::string& strPath, rc_digests_t& oDigests, std::string& strWhy);
    // Every path that has a row.
    std::vector<std::string> Paths() const;

    // Writes (or replaces) the row of strPath, its written time now.
    int Put(const std::string& strPath, const pub_stat_t& oStat, int iAnswer, const rc_digests_t& oDigests,
            std::string& strWhy);
    int Remove(const std::string& strPath, std::string& strWhy);
    // Rows go to disk in batches: a crash loses at most the last batch,
    // whose files are then reported again (and answered "already known").
    int Flush(std::string& strWhy);

    // The current time in nanoseconds, as rows record it.
    static sint64 NowNs();

private:
    int Exec(const char* pszSql, std::string& strWhy);
    int Fail(const std::string& strWhat, std::string& strWhy) const;
    int BeginIfNeeded(std::string& strWhy);

    sqlite3* m_pDb = nullptr;
    sqlite3_stmt* m_pPut = nullptr;
    sqlite3_stmt* m_pRemove = nullptr;
    sqlite3_stmt* m_pDigests = nullptr;
    bool m_bInTxn = false;
    unsigned int m_uiPending = 0;
    std::unordered_map<std::string, pub_row_t> m_oRows;
    std::unordered_multimap<uint64, std::string> m_oByInode;
};

// Where the state of DIR published to CENTER is kept by default:
// $XDG_STATE_HOME/zq_publish/, else ~/.local/state/zq_publish/, one file
// per (absolute directory, center), named after the directory's base name
// and a digest of both. Empty (with the reason) when neither is set.
std::string pub_default_state_path(const std::string& strAbsDir, const std::string& strCenter, std::string& strWhy);

#endif
