// Listing a tree for zq_publish: every regular file under a folder with its
// stat values, the folders themselves (for the watch), and a count of what is
// neither (symbolic links are not followed, FIFOs, sockets and devices are
// never opened). Paths are relative to the tree's root, '/'-separated.
#ifndef ZQ_PUB_SCAN_H
#define ZQ_PUB_SCAN_H

#include <functional>
#include <string>
#include <vector>

#include "common_header.h"
#include "pub_state.h"

struct pub_entry_t {
    std::string RelPath;
    pub_stat_t Stat;
};

struct pub_scan_t {
    std::vector<pub_entry_t> Files;
    std::vector<std::string> Dirs;          // strSub itself first ("" for the root)
    std::vector<std::string> Unreadable;    // folders that could not be listed, with the reason
    std::vector<std::string> UnreadableDirs;  // their relative paths
    uint64 Skipped = 0;
};

// Whether strRelPath is left out by a --exclude pattern: a pattern with a
// '/' is matched (fnmatch, '*' not crossing '/') against the whole relative
// path, one without against the entry's base name. An excluded folder is
// not entered.
bool pub_excluded(const std::vector<std::string>& oExcludes, const std::string& strRelPath);

// Whether strRelPath or one of the folders above it is left out.
bool pub_excluded_path(const std::vector<std::string>& oExcludes, const std::string& strRelPath);

// Lists strRoot/strSub (strSub "" for the whole tree) into oOut. -1 when
// strSub itself cannot be opened (the reason in oOut.Unreadable). pfnBefore,
// when given, is called with each folder opened, before its entries are
// read: a watch added there misses nothing the listing does not see.
int pub_scan(const std::string& strRoot, const std::string& strSub, const std::vector<std::string>& oExcludes,
             pub_scan_t& oOut, const std::function<void(const std::string&)>& pfnBefore = nullptr);

#endif
