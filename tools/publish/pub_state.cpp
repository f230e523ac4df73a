#include "pub_state.h"

#include <errno.h>
#include <sys/stat.h>
#include <time.h>

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "rc_record.h"
#include "sha1.h"
#include "str_util.h"

namespace {

// Rows per transaction: one commit (one fsync) per batch keeps a run over a
// large tree from waiting on the disk once per file.
const unsigned int kBatchRows = 512;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS files ("
    " path BLOB PRIMARY KEY, dev INTEGER NOT NULL, ino INTEGER NOT NULL, size INTEGER NOT NULL,"
    " mtime_ns INTEGER NOT NULL, ctime_ns INTEGER NOT NULL, written_ns INTEGER NOT NULL,"
    " answer INTEGER NOT NULL, md4 BLOB NOT NULL, sha1 BLOB NOT NULL, pieces BLOB NOT NULL,"
    " sid BLOB NOT NULL, fid BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS files_inode ON files(dev, ino);";

// A prepared statement finalized when it goes out of scope.
struct stStmt {
    sqlite3_stmt* p = nullptr;
    ~stStmt() { sqlite3_finalize(p); }
};

// Resets a kept statement when its use ends, so it holds no read snapshot
// and no bound copies between uses.
struct stReset {
    explicit stReset(sqlite3_stmt* pStmt) : p(pStmt) {}
    ~stReset() {
        sqlite3_reset(p);
        sqlite3_clear_bindings(p);
    }
    stReset(const stReset&) = delete;
    stReset& operator=(const stReset&) = delete;
    sqlite3_stmt* p;
};

uint64 inode_key(const pub_stat_t& o) { return o.Ino * 1000003ULL ^ o.Dev; }

int mkdir_parents(const std::string& strDir) {
    for (std::string::size_type i = 1; i <= strDir.size(); ++i) {
        if (i < strDir.size() && strDir[i] != '/') continue;
        std::string strPart = strDir.substr(0, i);
        if (mkdir(strPart.c_str(), 0700) != 0 && errno != EEXIST) return -1;
    }
    return 0;
}

std::string blob_of(sqlite3_stmt* p, int i) {
    const void* pData = sqlite3_column_blob(p, i);
    int iLen = sqlite3_column_bytes(p, i);
    return pData == nullptr || iLen <= 0 ? std::string() : std::string(static_cast<const char*>(pData), iLen);
}

}  // namespace

pub_stat_t pub_stat_t::Of(const struct stat& st) {
    pub_stat_t o;
    o.Dev = st.st_dev;
    o.Ino = st.st_ino;
    o.Size = static_cast<uint64>(st.st_size);
    o.MtimeNs = static_cast<sint64>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    o.CtimeNs = static_cast<sint64>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    return o;
}

CPubState::~CPubState() {
    std::string strIgnored;
    if (m_pDb != nullptr) Flush(strIgnored);
    sqlite3_finalize(m_pPut);
    sqlite3_finalize(m_pRemove);
    sqlite3_finalize(m_pDigests);
    sqlite3_close(m_pDb);
}

sint64 CPubState::NowNs() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<sint64>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

int CPubState::Fail(const std::string& strWhat, std::string& strWhy) const {
    strWhy = strWhat + ": " + (m_pDb != nullptr ? sqlite3_errmsg(m_pDb) : "out of memory");
    return -1;
}

int CPubState::Exec(const char* pszSql, std::string& strWhy) {
    if (sqlite3_exec(m_pDb, pszSql, nullptr, nullptr, nullptr) != SQLITE_OK) return Fail("the state", strWhy);
    return 0;
}

int CPubState::Open(const std::string& strPath, bool bCreate, std::string& strWhy) {
    if (!bCreate) {
        struct stat st;
        if (stat(strPath.c_str(), &st) != 0 && errno == ENOENT) return 0;
    } else {
        std::string::size_type iSlash = strPath.rfind('/');
        if (iSlash != std::string::npos && iSlash > 0 && mkdir_parents(strPath.substr(0, iSlash)) != 0) {
            strWhy = "cannot make the state's folder " + strPath.substr(0, iSlash) + ": " + strerror(errno);
            return -1;
        }
    }
    int iFlags = bCreate ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(strPath.c_str(), &m_pDb, iFlags, nullptr) != SQLITE_OK)
        return Fail("cannot open the state " + strPath, strWhy);
    sqlite3_busy_timeout(m_pDb, 5000);
    if (bCreate) {
        if (Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", strWhy) != 0 || Exec(kSchema, strWhy) != 0)
            return -1;
        const char* pszPut =
            "INSERT OR REPLACE INTO files(path, dev, ino, size, mtime_ns, ctime_ns, written_ns, answer, md4, sha1,"
            " pieces, sid, fid) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)";
        if (sqlite3_prepare_v2(m_pDb, pszPut, -1, &m_pPut, nullptr) != SQLITE_OK ||
            sqlite3_prepare_v2(m_pDb, "DELETE FROM files WHERE path = ?", -1, &m_pRemove, nullptr) != SQLITE_OK)
            return Fail("the state " + strPath, strWhy);
    }
    if (sqlite3_prepare_v2(m_pDb, "SELECT md4, sha1, pieces, size FROM files WHERE path = ?", -1, &m_pDigests,
                           nullptr) != SQLITE_OK)
        return Fail("the state " + strPath + " is not zq_publish's", strWhy);

    stStmt oAll;
    if (sqlite3_prepare_v2(m_pDb, "SELECT path, dev, ino, size, mtime_ns, ctime_ns, written_ns, answer FROM files",
                           -1, &oAll.p, nullptr) != SQLITE_OK)
        return Fail("the state " + strPath + " is not zq_publish's", strWhy);
    int iStep;
    while ((iStep = sqlite3_step(oAll.p)) == SQLITE_ROW) {
        pub_row_t oRow;
        oRow.Stat.Dev = static_cast<uint64>(sqlite3_column_int64(oAll.p, 1));
        oRow.Stat.Ino = static_cast<uint64>(sqlite3_column_int64(oAll.p, 2));
        oRow.Stat.Size = static_cast<uint64>(sqlite3_column_int64(oAll.p, 3));
        oRow.Stat.MtimeNs = sqlite3_column_int64(oAll.p, 4);
        oRow.Stat.CtimeNs = sqlite3_column_int64(oAll.p, 5);
        oRow.WrittenNs = sqlite3_column_int64(oAll.p, 6);
        oRow.Answer = sqlite3_column_int(oAll.p, 7);
        std::string strRowPath = blob_of(oAll.p, 0);
        m_oByInode.emplace(inode_key(oRow.Stat), strRowPath);
        m_oRows[strRowPath] = oRow;
    }
    if (iStep != SQLITE_DONE) return Fail("cannot read the state " + strPath, strWhy);
    return 0;
}

const pub_row_t* CPubState::Find(const std::string& strPath) const {
    auto it = m_oRows.find(strPath);
    return it == m_oRows.end() ? nullptr : &it->second;
}

std::string CPubState::FindInode(const pub_stat_t& oStat, const std::string& strExcept) const {
    auto oRange = m_oByInode.equal_range(inode_key(oStat));
    for (auto it = oRange.first; it != oRange.second; ++it) {
        if (it->second == strExcept) continue;
        const pub_row_t* pRow = Find(it->second);
        // The change time is left out: a rename sets it on Linux file systems.
        if (pRow != nullptr && pRow->Stat.Dev == oStat.Dev && pRow->Stat.Ino == oStat.Ino &&
            pRow->Stat.Size == oStat.Size && pRow->Stat.MtimeNs == oStat.MtimeNs)
            return it->second;
    }
    return std::string();
}

int CPubState::Digests(const std::string& strPath, rc_digests_t& oDigests, std::string& strWhy) {
    stReset oReset(m_pDigests);
    sqlite3_bind_blob(m_pDigests, 1, strPath.data(), static_cast<int>(strPath.size()), SQLITE_TRANSIENT);
    int iStep = sqlite3_step(m_pDigests);
    if (iStep != SQLITE_ROW) {
        if (iStep == SQLITE_DONE) {
            strWhy = "no row";
            return -1;
        }
        return Fail("cannot read the state", strWhy);
    }
    std::string strMd4 = blob_of(m_pDigests, 0), strSha1 = blob_of(m_pDigests, 1);
    std::string strPieces = blob_of(m_pDigests, 2);
    if (strMd4.size() != 16 || strSha1.size() != 20 || strPieces.size() % 16 != 0) {
        strWhy = "a damaged row";
        return -1;
    }
    oDigests.MD4 = Md5Hash(reinterpret_cast<const unsigned char*>(strMd4.data()), 16);
    oDigests.Hash = Sha1Hash(reinterpret_cast<const unsigned char*>(strSha1.data()), 20);
    oDigests.Pieces.assign(strPieces.begin(), strPieces.end());
    oDigests.Size = static_cast<uint64>(sqlite3_column_int64(m_pDigests, 3));
    return 0;
}

std::vector<std::string> CPubState::Paths() const {
    std::vector<std::string> oPaths;
    oPaths.reserve(m_oRows.size());
    for (const auto& oRow : m_oRows) oPaths.push_back(oRow.first);
    return oPaths;
}

int CPubState::BeginIfNeeded(std::string& strWhy) {
    if (m_bInTxn) return 0;
    if (Exec("BEGIN", strWhy) != 0) return -1;
    m_bInTxn = true;
    return 0;
}

int CPubState::Put(const std::string& strPath, const pub_stat_t& oStat, int iAnswer, const rc_digests_t& oDigests,
                   std::string& strWhy) {
    if (m_pPut == nullptr) {
        strWhy = "the state is read-only";
        return -1;
    }
    if (BeginIfNeeded(strWhy) != 0) return -1;
    pub_row_t oRow;
    oRow.Stat = oStat;
    oRow.WrittenNs = NowNs();
    oRow.Answer = iAnswer;
    // The identifiers are kept beside the digests so the state can be read
    // on its own; the record is always rebuilt from the digests.
    RSInfo oInfo;
    fill_rc_info(oDigests, "", "", oInfo);
    {
        stReset oReset(m_pPut);
        sqlite3_bind_blob(m_pPut, 1, strPath.data(), static_cast<int>(strPath.size()), SQLITE_TRANSIENT);
        sqlite3_bind_int64(m_pPut, 2, static_cast<sqlite3_int64>(oStat.Dev));
        sqlite3_bind_int64(m_pPut, 3, static_cast<sqlite3_int64>(oStat.Ino));
        sqlite3_bind_int64(m_pPut, 4, static_cast<sqlite3_int64>(oStat.Size));
        sqlite3_bind_int64(m_pPut, 5, oStat.MtimeNs);
        sqlite3_bind_int64(m_pPut, 6, oStat.CtimeNs);
        sqlite3_bind_int64(m_pPut, 7, oRow.WrittenNs);
        sqlite3_bind_int(m_pPut, 8, iAnswer);
        sqlite3_bind_blob(m_pPut, 9, oDigests.MD4.cVal, 16, SQLITE_TRANSIENT);
        sqlite3_bind_blob(m_pPut, 10, oDigests.Hash.cVal, 20, SQLITE_TRANSIENT);
        sqlite3_bind_blob(m_pPut, 11, oDigests.Pieces.empty() ? "" : reinterpret_cast<const char*>(oDigests.Pieces.data()),
                          static_cast<int>(oDigests.Pieces.size()), SQLITE_TRANSIENT);
        sqlite3_bind_blob(m_pPut, 12, oInfo.SID.cVal, 20, SQLITE_TRANSIENT);
        sqlite3_bind_blob(m_pPut, 13, oInfo.FID.cVal, 20, SQLITE_TRANSIENT);
        if (sqlite3_step(m_pPut) != SQLITE_DONE) return Fail("cannot write the state", strWhy);
    }
    auto it = m_oRows.find(strPath);
    if (it != m_oRows.end()) {
        auto oRange = m_oByInode.equal_range(inode_key(it->second.Stat));
        for (auto jt = oRange.first; jt != oRange.second; ++jt) {
            if (jt->second == strPath) {
                m_oByInode.erase(jt);
                break;
            }
        }
    }
    m_oRows[strPath] = oRow;
    m_oByInode.emplace(inode_key(oStat), strPath);
    if (++m_uiPending >= kBatchRows) return Flush(strWhy);
    return 0;
}

int CPubState::Remove(const std::string& strPath, std::string& strWhy) {
    auto it = m_oRows.find(strPath);
    if (it == m_oRows.end()) return 0;
    if (m_pRemove == nullptr) {
        strWhy = "the state is read-only";
        return -1;
    }
    if (BeginIfNeeded(strWhy) != 0) return -1;
    {
        stReset oReset(m_pRemove);
        sqlite3_bind_blob(m_pRemove, 1, strPath.data(), static_cast<int>(strPath.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(m_pRemove) != SQLITE_DONE) return Fail("cannot write the state", strWhy);
        if (sqlite3_changes(m_pDb) != 1) {
            strWhy = "the state lost a row it had";
            return -1;
        }
    }
    auto oRange = m_oByInode.equal_range(inode_key(it->second.Stat));
    for (auto jt = oRange.first; jt != oRange.second; ++jt) {
        if (jt->second == strPath) {
            m_oByInode.erase(jt);
            break;
        }
    }
    m_oRows.erase(it);
    if (++m_uiPending >= kBatchRows) return Flush(strWhy);
    return 0;
}

int CPubState::Flush(std::string& strWhy) {
    if (!m_bInTxn) return 0;
    m_bInTxn = false;
    m_uiPending = 0;
    return Exec("COMMIT", strWhy);
}

std::string pub_default_state_path(const std::string& strAbsDir, const std::string& strCenter, std::string& strWhy) {
    std::string strBase;
    const char* pszState = getenv("XDG_STATE_HOME");
    const char* pszHome = getenv("HOME");
    if (pszState != nullptr && pszState[0] == '/') {
        strBase = std::string(pszState) + "/zq_publish";
    } else if (pszHome != nullptr && pszHome[0] == '/') {
        strBase = std::string(pszHome) + "/.local/state/zq_publish";
    } else {
        strWhy = "neither XDG_STATE_HOME nor HOME is set: give --state FILE";
        return std::string();
    }
    std::string strKey = strAbsDir + '\n' + strCenter;
    SHA_INFO oSha;
    sha_init(&oSha);
    sha_update(&oSha, reinterpret_cast<SHA_BYTE*>(&strKey[0]), static_cast<int>(strKey.size()));
    unsigned char arDigest[20];
    sha_final(arDigest, &oSha);
    char szHex[17];
    BinBufToHexStr(szHex, sizeof(szHex), arDigest, 8);
    std::string strName = strAbsDir.substr(strAbsDir.rfind('/') + 1);
    std::string strSafe;
    for (char c : strName) strSafe += (c == '.' || c == '-' || c == '_' || isalnum(static_cast<unsigned char>(c))) ? c : '_';
    if (strSafe.empty()) strSafe = "root";
    return strBase + "/" + strSafe + "-" + szHex + ".db";
}
