// CPubWatch: inotify over every folder of a tree, turned into events on
// paths relative to the tree's root. A folder that appears is reported so the
// caller can list it and watch it (AddDir); one that goes has its watches
// dropped. A full queue in the kernel is reported as an overflow, after which
// only a full pass knows the tree again. Owns its inotify descriptor;
// single-threaded. Open and AddDir return 0 / -1 with the reason.
#ifndef ZQ_PUB_WATCH_H
#define ZQ_PUB_WATCH_H

#include <string>
#include <unordered_map>
#include <vector>

enum EPubWatchEvent {
    PUB_WATCH_FILE_READY,  // a file was closed after writing, or moved in
    PUB_WATCH_FILE_GONE,   // a file was deleted or moved out
    PUB_WATCH_DIR_NEW,     // a folder was made or moved in
    PUB_WATCH_DIR_GONE,    // a folder was deleted or moved out
    PUB_WATCH_OVERFLOW,    // events were lost
};

struct pub_watch_event_t {
    EPubWatchEvent Kind;
    std::string RelPath;
};

class CPubWatch {
public:
    CPubWatch() = default;
    ~CPubWatch();
    CPubWatch(const CPubWatch&) = delete;
    CPubWatch& operator=(const CPubWatch&) = delete;

    int Open(const std::string& strRoot, std::string& strWhy);
    int Fd() const { return m_iFd; }
    // Watches strRoot/strRelDir ("" the root); watching it again is harmless.
    int AddDir(const std::string& strRelDir, std::string& strWhy);
    // Drops every watch at or below strRelDir.
    void DropTree(const std::string& strRelDir);
    // Reads what the kernel has queued (the descriptor is non-blocking).
    void Read(std::vector<pub_watch_event_t>& oOut);

private:
    int m_iFd = -1;
    std::string m_strRoot;
    std::unordered_map<int, std::string> m_oDirs;  // watch descriptor: relative folder
};

#endif
