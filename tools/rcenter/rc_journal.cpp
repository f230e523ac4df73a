#include "rc_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "svr_log.h"

namespace {

std::string DirOf(const std::string& strPath) {
    std::string::size_type pos = strPath.rfind('/');
    if (pos == std::string::npos) return ".";
    if (pos == 0) return "/";
    return strPath.substr(0, pos);
}

// mkdir -p of every directory above the file; 0 or the first real failure.
int MakeParents(const std::string& strPath) {
    for (std::string::size_type pos = strPath.find('/', 1); pos != std::string::npos;
         pos = strPath.find('/', pos + 1)) {
        std::string strDir = strPath.substr(0, pos);
        if (mkdir(strDir.c_str(), 0755) != 0 && errno != EEXIST) return errno;
    }
    return 0;
}

int SyncDir(const std::string& strDir) {
    int fd = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int iErr = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return iErr;
}

}  // namespace

CRcJournal::CRcJournal(const std::string& strPath) : m_strPath(strPath), m_iFd(-1), m_bOpened(false) {}

CRcJournal::~CRcJournal() {
    if (m_iFd >= 0) close(m_iFd);
}

int CRcJournal::Open() {
    if (m_iFd >= 0) return 0;
    if (m_strPath.empty()) return ENOENT;
    int iErr = MakeParents(m_strPath);
    if (iErr != 0) return iErr;
    bool bCreated = true;
    m_iFd = open(m_strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (m_iFd < 0 && errno == EEXIST) {
        bCreated = false;
        m_iFd = open(m_strPath.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    }
    if (m_iFd < 0) return errno;
    // A new file whose name is not on disk would take every line with it.
    if (bCreated) {
        iErr = SyncDir(DirOf(m_strPath));
        if (iErr != 0) {
            close(m_iFd);
            m_iFd = -1;
            return iErr;
        }
    }
    m_bOpened = true;
    return 0;
}

// A directory removed (or a journal moved away) under a running server would
// otherwise leave every later line in an unlinked file and the answers
// saying "accepted" for reports no one can read again.
int CRcJournal::KeepNamed() {
    if (m_iFd >= 0) {
        struct stat stFd;
        struct stat stPath;
        if (fstat(m_iFd, &stFd) == 0 && stat(m_strPath.c_str(), &stPath) == 0 && stFd.st_dev == stPath.st_dev &&
            stFd.st_ino == stPath.st_ino)
            return 0;
        LOG_WARN("journal %s no longer names the open file; opening it again", m_strPath.c_str());
        close(m_iFd);
        m_iFd = -1;
    }
    return Open();
}

int CRcJournal::Append(const std::string& strLine) {
    if (!m_bOpened) return EBADF;
    int iErr = KeepNamed();
    if (iErr != 0) return iErr;
    struct stat st;
    off_t iBefore = fstat(m_iFd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
    size_t iDone = 0;
    while (iDone < strLine.size()) {
        ssize_t n = write(m_iFd, strLine.data() + iDone, strLine.size() - iDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            iErr = n < 0 ? errno : EIO;
            break;
        }
        iDone += static_cast<size_t>(n);
    }
    if (iErr == 0 && fdatasync(m_iFd) != 0) iErr = errno;
    if (iErr != 0 && iBefore >= 0 && ftruncate(m_iFd, iBefore) != 0) {
        LOG_ERR("journal %s: cannot cut a failed line back off at %lld: %s", m_strPath.c_str(),
                static_cast<long long>(iBefore), strerror(errno));
    }
    return iErr;
}

std::string rc_journal_escape(const std::string& strText) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(strText.size());
    for (char c : strText) {
        unsigned char u = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (u < 0x20 || u == 0x7f) {
                    out += "\\x";
                    out += kHex[u >> 4];
                    out += kHex[u & 0x0f];
                } else {
                    out += c;
                }
                break;
        }
    }
    return out;
}

std::string rc_journal_line(const rc_report_t& oReport, time_t tNow) {
    struct tm tmNow;
    char szTime[32] = "";
    if (gmtime_r(&tNow, &tmNow) != nullptr) strftime(szTime, sizeof(szTime), "%Y-%m-%dT%H:%M:%SZ", &tmNow);

    // The same fields, names and formatting as zq_ident's, from a record
    // filled with what was sent.
    RSInfo oInfo;
    rc_fill_info(oReport, oInfo);

    std::string line = "time=";
    line += szTime;
    for (const rc_field_t& oField : rc_info_fields(oInfo)) {
        line += '\t';
        line += oField.Key;
        line += '=';
        line += oField.Value;
    }
    line += "\tfile=" + rc_journal_escape(oReport.FileName);
    line += "\text=" + rc_journal_escape(oReport.ExtName);
    line += "\turl=" + rc_journal_escape(oReport.Url);
    line += "\tref=" + rc_journal_escape(oReport.Ref);
    line += '\n';
    return line;
}
