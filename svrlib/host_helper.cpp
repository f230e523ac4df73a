// Host and process helpers of CHelper: addresses of the host, the program's
// own path, process limits, daemonising, hex text and directory listings.
#include <arpa/inet.h>
#include <dirent.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "helper.h"

namespace {

// Host-order ends of the private and link-local ranges.
struct stIpRange {
    uint32 uiLow;
    uint32 uiHigh;
};
const stIpRange kLanRanges[] = {
    {0x0A000000u, 0x0AFFFFFFu},  // 10.0.0.0 - 10.255.255.255
    {0xAC100000u, 0xAC1FFFFFu},  // 172.16.0.0 - 172.31.255.255
    {0xC0A80000u, 0xC0A8FFFFu},  // 192.168.0.0 - 192.168.255.255
    {0xA9FE0000u, 0xA9FEFFFFu},  // 169.254.0.0 - 169.254.255.255
};

// Beyond this many interface records the kernel's answer is not believed.
const unsigned int kMaxInterfaceRoom = 65536;

class CFdCloser {
public:
    explicit CFdCloser(int fd) : m_iFd(fd) {}
    ~CFdCloser() {
        if (m_iFd >= 0) close(m_iFd);
    }

private:
    int m_iFd;
};

class CDirCloser {
public:
    explicit CDirCloser(DIR* pDir) : m_pDir(pDir) {}
    ~CDirCloser() {
        if (m_pDir != nullptr) closedir(m_pDir);
    }

private:
    DIR* m_pDir;
};

// Fills oReqs with the interface records. SIOCGIFCONF truncates silently, so
// an answer that might have filled the room is asked again with twice as much.
bool ListInterfaces(int fd, unsigned int uiRoom, std::vector<struct ifreq>& oReqs) {
    if (uiRoom == 0) uiRoom = 1;
    for (;;) {
        oReqs.assign(uiRoom, ifreq());
        struct ifconf ifc;
        memset(&ifc, 0, sizeof(ifc));
        ifc.ifc_len = static_cast<int>(uiRoom * sizeof(struct ifreq));
        ifc.ifc_req = oReqs.data();
        if (ioctl(fd, SIOCGIFCONF, &ifc) < 0) {
            oReqs.clear();
            return false;
        }
        size_t used = static_cast<size_t>(ifc.ifc_len) / sizeof(struct ifreq);
        if (used < uiRoom || uiRoom >= kMaxInterfaceRoom) {
            oReqs.resize(used < uiRoom ? used : uiRoom);
            return true;
        }
        uiRoom *= 2;
    }
}

unsigned int ListEntries(const std::string& oPathDir, bool bDirectories, std::vector<std::string>& oNames) {
    oNames.clear();
    if (oPathDir.empty()) return 0;
    DIR* pDir = opendir(oPathDir.c_str());
    if (pDir == nullptr) return 0;
    CDirCloser closer(pDir);

    std::string prefix = oPathDir;
    if (prefix.back() != '/') prefix += '/';
    while (struct dirent* pEntry = readdir(pDir)) {
        const char* name = pEntry->d_name;
        struct stat64 st;
        if (lstat64((prefix + name).c_str(), &st) != 0) continue;
        bool isDir = S_ISDIR(st.st_mode);
        if (isDir != bDirectories) continue;
        if (isDir && (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)) continue;
        oNames.push_back(name);
    }
    return static_cast<unsigned int>(oNames.size());
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

bool CHelper::IsLanIP(unsigned int uiIP) {
    uint32 host = ntohl(uiIP);
    for (const stIpRange& range : kLanRanges) {
        if (host >= range.uiLow && host <= range.uiHigh) return true;
    }
    return false;
}

unsigned int CHelper::GetAllHostIPs(std::vector<unsigned int>& oIPs, unsigned int uiFirstRoom) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return static_cast<unsigned int>(oIPs.size());
    CFdCloser closer(fd);

    std::vector<struct ifreq> reqs;
    if (!ListInterfaces(fd, uiFirstRoom, reqs)) return static_cast<unsigned int>(oIPs.size());

    const uint32 loopback = htonl(INADDR_LOOPBACK);
    for (size_t i = reqs.size(); i-- > 0;) {
        struct ifreq req;
        memset(&req, 0, sizeof(req));
        memcpy(req.ifr_name, reqs[i].ifr_name, sizeof(req.ifr_name));
        req.ifr_name[sizeof(req.ifr_name) - 1] = '\0';
        // An interface without an IPv4 address (or gone meanwhile) fails here.
        if (ioctl(fd, SIOCGIFADDR, &req) < 0) continue;
        if (req.ifr_addr.sa_family != AF_INET) continue;
        struct sockaddr_in sin;
        memcpy(&sin, &req.ifr_addr, sizeof(sin));
        uint32 ip = sin.sin_addr.s_addr;
        if (ip == 0 || ip == loopback) continue;
        oIPs.push_back(ip);
    }
    return static_cast<unsigned int>(oIPs.size());
}

unsigned int CHelper::ChooseNetIP(const std::vector<unsigned int>& oIPs) {
    unsigned int found = 0;
    for (unsigned int ip : oIPs) {
        if (IsLanIP(ip)) continue;
        if (found != 0) return 0;
        found = ip;
    }
    return found;
}

unsigned int CHelper::ChooseLanIP(const std::vector<unsigned int>& oIPs) {
    for (unsigned int ip : oIPs) {
        if (IsLanIP(ip)) return ip;
    }
    return htonl(0x01010001u);  // 1.1.0.1
}

unsigned int CHelper::GetNetIP() {
    std::vector<unsigned int> ips;
    GetAllHostIPs(ips);
    return ChooseNetIP(ips);
}

unsigned int CHelper::GetLanIP() {
    std::vector<unsigned int> ips;
    GetAllHostIPs(ips);
    return ChooseLanIP(ips);
}

std::string CHelper::IpToStr(unsigned int uiIP, unsigned short usPort) {
    unsigned char octets[4];
    memcpy(octets, &uiIP, sizeof(octets));
    char text[32];
    snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", static_cast<unsigned int>(octets[0]),
             static_cast<unsigned int>(octets[1]), static_cast<unsigned int>(octets[2]),
             static_cast<unsigned int>(octets[3]), static_cast<unsigned int>(ntohs(usPort)));
    return text;
}

std::string CHelper::GetExeFileName() {
    char path[1024];
    ssize_t len = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (len < 0) return std::string();
    return std::string(path, static_cast<size_t>(len));
}

std::string CHelper::GetExeDir() {
    std::string path = GetExeFileName();
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return path;
    return path.substr(0, slash + 1);
}

bool CHelper::SetFileLimit(const unsigned int iLimit) {
    struct rlimit64 lim;
    if (getrlimit64(RLIMIT_NOFILE, &lim) != 0) return false;
    if (lim.rlim_cur >= iLimit) return true;
    lim.rlim_cur = iLimit;
    // Only a hard limit below the request is raised; a higher one is kept.
    if (lim.rlim_max < iLimit) lim.rlim_max = iLimit;
    return setrlimit64(RLIMIT_NOFILE, &lim) == 0;
}

void CHelper::init_daemon() {
    char cwd[PATH_MAX];
    bool haveCwd = getcwd(cwd, sizeof(cwd)) != nullptr;

    // The parents leave with _exit: exit would flush stdio and log buffers
    // that the child inherited too, writing their lines twice.
    pid_t pid = fork();
    if (pid < 0) exit(1);
    if (pid > 0) _exit(0);

    setsid();

    const int ignored[] = {SIGINT, SIGHUP, SIGQUIT, SIGPIPE, SIGTTOU, SIGTTIN, SIGCHLD, SIGTERM};
    for (int sig : ignored) signal(sig, SIG_IGN);
    struct sigaction act;
    memset(&act, 0, sizeof(act));
    act.sa_handler = SIG_IGN;
    sigemptyset(&act.sa_mask);
    act.sa_flags = 0;
    sigaction(SIGHUP, &act, nullptr);

    // The session leader exits so the daemon can never reacquire a terminal.
    pid = fork();
    if (pid < 0) exit(1);
    if (pid > 0) _exit(0);

    // A daemon has nobody to tell when its directory vanished meanwhile; it
    // stays wherever it is.
    int chdirResult = haveCwd ? chdir(cwd) : 0;
    (void)chdirResult;
    GenCoreDumpFile(0x80000000u);
}

sint32 CHelper::GenCoreDumpFile(unsigned int size) {
    struct rlimit64 lim;
    if (getrlimit64(RLIMIT_CORE, &lim) != 0) return -1;
    struct rlimit64 wanted = lim;
    wanted.rlim_cur = size;
    if (wanted.rlim_max < size) wanted.rlim_max = size;
    if (setrlimit64(RLIMIT_CORE, &wanted) == 0) return 0;
    // Not allowed to raise the hard limit: come as near as it lets us.
    if (wanted.rlim_max != lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit64(RLIMIT_CORE, &lim);
    }
    return -1;
}

std::string CHelper::Hex2Str(const unsigned char* pBuf, unsigned int uiLen) {
    static const char kDigits[] = "0123456789abcdef";
    if (pBuf == nullptr) return std::string();
    std::string text(static_cast<size_t>(uiLen) * 2, '0');
    for (unsigned int i = 0; i < uiLen; ++i) {
        text[2 * i] = kDigits[pBuf[i] >> 4];
        text[2 * i + 1] = kDigits[pBuf[i] & 0x0F];
    }
    return text;
}

std::string CHelper::Buf2Str(const unsigned char* pBuf, unsigned int uiLen) { return Hex2Str(pBuf, uiLen); }

bool CHelper::Str2Buf(const std::string& oStr, std::vector<unsigned char>& oBuf) {
    int high = 0;
    for (size_t i = 0; i < oStr.size(); ++i) {
        int nibble = HexDigit(oStr[i]);
        if (nibble < 0) return false;
        if (i % 2 == 0) {
            high = nibble;
        } else {
            oBuf.push_back(static_cast<unsigned char>((high << 4) | nibble));
        }
    }
    return true;
}

void CHelper::StringToLower(std::string& strString) {
    for (char& c : strString) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
}

std::string CHelper::GetFileExtName(const std::string& strFileName) {
    size_t dot = strFileName.rfind('.');
    if (dot == std::string::npos) return std::string();
    // A dot in a directory name is no extension of the file.
    size_t slash = strFileName.rfind('/');
    if (slash != std::string::npos && slash > dot) return std::string();
    return strFileName.substr(dot);
}

unsigned int CHelper::GetDirectoryFiles(const std::string& oPathDir, std::vector<std::string>& oFileNames) {
    return ListEntries(oPathDir, false, oFileNames);
}

unsigned int CHelper::GetAllDirectories(const std::string& oPathDir, std::vector<std::string>& oDirNames) {
    return ListEntries(oPathDir, true, oDirNames);
}
