#include "pub_watch.h"

#include <errno.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

namespace {

const uint32_t kDirMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE | IN_ONLYDIR |
                          IN_DONT_FOLLOW | IN_EXCL_UNLINK;

bool under(const std::string& strPath, const std::string& strDir) {
    return strDir.empty() || strPath == strDir ||
           (strPath.size() > strDir.size() && strPath.compare(0, strDir.size(), strDir) == 0 &&
            strPath[strDir.size()] == '/');
}

}  // namespace

CPubWatch::~CPubWatch() {
    if (m_iFd >= 0) close(m_iFd);
}

int CPubWatch::Open(const std::string& strRoot, std::string& strWhy) {
    m_strRoot = strRoot;
    m_iFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_iFd < 0) {
        strWhy = std::string("inotify: ") + strerror(errno);
        return -1;
    }
    return 0;
}

int CPubWatch::AddDir(const std::string& strRelDir, std::string& strWhy) {
    std::string strPath = strRelDir.empty() ? m_strRoot : m_strRoot + "/" + strRelDir;
    int iWd = inotify_add_watch(m_iFd, strPath.c_str(), kDirMask);
    if (iWd < 0) {
        strWhy = "cannot watch " + strPath + ": " + strerror(errno) +
                 (errno == ENOSPC ? " (raise fs.inotify.max_user_watches)" : "");
        return -1;
    }
    m_oDirs[iWd] = strRelDir;
    return 0;
}

void CPubWatch::DropTree(const std::string& strRelDir) {
    for (auto it = m_oDirs.begin(); it != m_oDirs.end();) {
        if (under(it->second, strRelDir)) {
            inotify_rm_watch(m_iFd, it->first);
            it = m_oDirs.erase(it);
        } else {
            ++it;
        }
    }
}

void CPubWatch::Read(std::vector<pub_watch_event_t>& oOut) {
    alignas(struct inotify_event) char arBuf[65536];
    while (true) {
        ssize_t n = read(m_iFd, arBuf, sizeof(arBuf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        for (ssize_t iPos = 0; iPos + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
            const struct inotify_event* pEv = reinterpret_cast<const struct inotify_event*>(arBuf + iPos);
            iPos += static_cast<ssize_t>(sizeof(struct inotify_event) + pEv->len);
            if (iPos > n) break;
            if (pEv->mask & IN_Q_OVERFLOW) {
                oOut.push_back({PUB_WATCH_OVERFLOW, ""});
                continue;
            }
            auto it = m_oDirs.find(pEv->wd);
            if (pEv->mask & IN_IGNORED) {
                if (it != m_oDirs.end()) m_oDirs.erase(it);
                continue;
            }
            if (it == m_oDirs.end() || pEv->len == 0) continue;
            std::string strName(pEv->name, strnlen(pEv->name, pEv->len));
            std::string strRel = it->second.empty() ? strName : it->second + "/" + strName;
            if (pEv->mask & IN_ISDIR) {
                if (pEv->mask & (IN_CREATE | IN_MOVED_TO)) oOut.push_back({PUB_WATCH_DIR_NEW, strRel});
                if (pEv->mask & (IN_DELETE | IN_MOVED_FROM)) oOut.push_back({PUB_WATCH_DIR_GONE, strRel});
            } else if (pEv->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                oOut.push_back({PUB_WATCH_FILE_READY, strRel});
            } else if (pEv->mask & (IN_DELETE | IN_MOVED_FROM)) {
                oOut.push_back({PUB_WATCH_FILE_GONE, strRel});
            }
        }
    }
}
