#include "pub_scan.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

bool pub_excluded(const std::vector<std::string>& oExcludes, const std::string& strRelPath) {
    std::string::size_type iSlash = strRelPath.rfind('/');
    std::string strBase = iSlash == std::string::npos ? strRelPath : strRelPath.substr(iSlash + 1);
    for (const std::string& strPattern : oExcludes) {
        bool bWhole = strPattern.find('/') != std::string::npos;
        const std::string& strSubject = bWhole ? strRelPath : strBase;
        if (fnmatch(strPattern.c_str(), strSubject.c_str(), bWhole ? FNM_PATHNAME : 0) == 0) return true;
    }
    return false;
}

bool pub_excluded_path(const std::vector<std::string>& oExcludes, const std::string& strRelPath) {
    if (oExcludes.empty()) return false;
    for (std::string::size_type i = strRelPath.find('/'); i != std::string::npos; i = strRelPath.find('/', i + 1)) {
        if (pub_excluded(oExcludes, strRelPath.substr(0, i))) return true;
    }
    return pub_excluded(oExcludes, strRelPath);
}

int pub_scan(const std::string& strRoot, const std::string& strSub, const std::vector<std::string>& oExcludes,
             pub_scan_t& oOut, const std::function<void(const std::string&)>& pfnBefore) {
    std::vector<std::string> oTodo{strSub};
    bool bFirst = true;
    while (!oTodo.empty()) {
        std::string strRel = oTodo.back();
        oTodo.pop_back();
        std::string strPath = strRel.empty() ? strRoot : strRoot + "/" + strRel;
        // O_NOFOLLOW: a folder replaced by a link between listing and
        // entering is not followed out of the tree.
        int fd = open(strPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        DIR* pDir = fd >= 0 ? fdopendir(fd) : nullptr;
        if (pDir == nullptr) {
            oOut.Unreadable.push_back(strPath + ": " + strerror(errno));
            oOut.UnreadableDirs.push_back(strRel);
            if (fd >= 0) close(fd);
            if (bFirst) return -1;
            continue;
        }
        bFirst = false;
        oOut.Dirs.push_back(strRel);
        if (pfnBefore) pfnBefore(strRel);
        struct dirent* pEnt;
        while ((pEnt = readdir(pDir)) != nullptr) {
            const char* pszName = pEnt->d_name;
            if (strcmp(pszName, ".") == 0 || strcmp(pszName, "..") == 0) continue;
            std::string strChild = strRel.empty() ? std::string(pszName) : strRel + "/" + pszName;
            if (!oExcludes.empty() && pub_excluded(oExcludes, strChild)) continue;
            struct stat st;
            if (fstatat(dirfd(pDir), pszName, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;  // gone meanwhile
            if (S_ISDIR(st.st_mode)) {
                oTodo.push_back(strChild);
            } else if (S_ISREG(st.st_mode)) {
                oOut.Files.push_back({strChild, pub_stat_t::Of(st)});
            } else {
                ++oOut.Skipped;
            }
        }
        closedir(pDir);
    }
    return 0;
}
