#include "rc_sqlite_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "svr_log.h"

namespace {

std::string ParentOf(const std::string& strPath) {
    std::string::size_type pos = strPath.rfind('/');
    return pos == std::string::npos ? "." : pos == 0 ? "/" : strPath.substr(0, pos);
}

int SyncDir(const std::string& strDir) {
    int fd = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int iErr = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return iErr;
}

int Failed(int iErr, const std::string& strWhat, std::string& strError) {
    strError = strWhat + ": " + strerror(iErr);
    return iErr;
}

// mkdir -p of every directory above the file. A directory made here is
// only there after a crash once its parent is synced.
int MakeParents(const std::string& strPath, std::string& strError) {
    for (std::string::size_type pos = strPath.find('/', 1); pos != std::string::npos;
         pos = strPath.find('/', pos + 1)) {
        std::string strDir = strPath.substr(0, pos);
        if (mkdir(strDir.c_str(), 0755) != 0) {
            if (errno == EEXIST) continue;
            return Failed(errno, strPath + ": cannot make its directory " + strDir, strError);
        }
        int iErr = SyncDir(ParentOf(strDir));
        if (iErr != 0) return Failed(iErr, strPath + ": cannot sync the directory above " + strDir, strError);
    }
    return 0;
}

}  // namespace

int rc_sqlite_set_wal_aside(const std::string& strPath, std::string& strAside, std::string& strError) {
    const std::string strWal = strPath + "-wal";
    struct stat st;
    if (stat(strWal.c_str(), &st) != 0) return errno == ENOENT ? ENOENT : Failed(errno, strWal, strError);
    if (st.st_size == 0) {
        if (unlink(strWal.c_str()) != 0 && errno != ENOENT) return Failed(errno, strWal + ": cannot remove", strError);
        return ENOENT;
    }
    const std::string strStamp = std::to_string(time(nullptr));
    // The short name is for a path whose last part leaves no room for the
    // suffix; both stay beside the database, where an operator looks.
    const std::string arNames[] = {strWal + ".orphaned." + strStamp,
                                   ParentOf(strPath) + "/orphaned-" + strStamp + ".wal"};
    int iErr = 0;
    for (const std::string& strName : arNames) {
        if (rename(strWal.c_str(), strName.c_str()) == 0) {
            iErr = SyncDir(ParentOf(strPath));
            if (iErr != 0) return Failed(iErr, strWal + ": cannot sync its directory", strError);
            strAside = strName;
            return 0;
        }
        iErr = errno;
    }
    return Failed(iErr, strWal + " holds commits of a database that is gone and cannot be set aside", strError);
}

int rc_sqlite_prepare_path(const std::string& strPath, std::string& strError) {
    int iErr = MakeParents(strPath, strError);
    if (iErr != 0) return iErr;
    struct stat st;
    if (stat(strPath.c_str(), &st) == 0) return 0;
    if (errno != ENOENT) return Failed(errno, strPath, strError);
    // A WAL left without its database would be replayed into a new file at
    // the path.
    std::string strAside;
    iErr = rc_sqlite_set_wal_aside(strPath, strAside, strError);
    if (iErr == 0) {
        LOG_WARN("store %s: %s-wal had no database; kept as %s", strPath.c_str(), strPath.c_str(), strAside.c_str());
    } else if (iErr != ENOENT) {
        return iErr;
    }
    if (unlink((strPath + "-shm").c_str()) != 0 && errno != ENOENT)
        return Failed(errno, strPath + "-shm: cannot remove", strError);
    // Made here rather than by SQLite, whose read-only retry hides the
    // reason (EROFS, EACCES, ENOSPC) behind ENOENT; and its name is synced,
    // as a file the answers rely on.
    int fd = open(strPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) return Failed(errno, strPath + ": cannot create the database", strError);
    if (fd >= 0) close(fd);
    iErr = SyncDir(ParentOf(strPath));
    return iErr == 0 ? 0 : Failed(iErr, strPath + ": cannot sync its directory", strError);
}

int rc_sqlite_file_id(const std::string& strPath, rc_file_id_t& oId) {
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) return errno;
    oId.Dev = st.st_dev;
    oId.Ino = st.st_ino;
    return 0;
}

bool rc_sqlite_same_file(const rc_file_id_t& a, const rc_file_id_t& b) { return a.Dev == b.Dev && a.Ino == b.Ino; }
