#include "helper.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "files.h"

namespace {

unsigned int Ip(const char* text) { return inet_addr(text); }

std::vector<unsigned int> Ips(std::initializer_list<const char*> texts) {
    std::vector<unsigned int> ips;
    for (const char* text : texts) ips.push_back(Ip(text));
    return ips;
}

std::vector<std::string> Sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

// Waits at most timeout_ms for pid to end; kills it if it does not.
bool WaitForExit(pid_t pid, int* status, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pid_t got = waitpid(pid, status, WNOHANG);
        if (got == pid) return true;
        if (got < 0) return false;
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Reads fd until every writer has closed it, for at most timeout_ms.
std::string ReadAll(int fd, int timeout_ms = 10000) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
        char buf[512];
        ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    return data;
}

// Exit status of a child that cannot run its check on this host.
const int kCannotCheckHere = 77;

// Runs body in a forked child and returns its exit status (-1 when it did not
// exit normally in time), so limits changed there leave this process alone.
template <typename Body>
int ExitStatusOfChild(Body body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) _exit(body());
    int status = 0;
    if (!WaitForExit(pid, &status)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// In a child: gives up root, which may raise hard limits at will.
bool DropPrivilege() {
    if (geteuid() != 0) return true;
    return setgid(65534) == 0 && setuid(65534) == 0 && geteuid() != 0;
}

}  // namespace

TEST(IsLanIP, IncludesBothEndsOfEveryRange) {
    for (const char* text : {"10.0.0.0", "10.255.255.255", "172.16.0.0", "172.31.255.255", "192.168.0.0",
                             "192.168.255.255", "169.254.0.0", "169.254.255.255", "169.254.1.1", "10.1.2.3"}) {
        EXPECT_TRUE(CHelper::IsLanIP(Ip(text))) << text;
    }
}

TEST(IsLanIP, ExcludesAddressesJustOutsideTheRanges) {
    for (const char* text : {"9.255.255.255", "11.0.0.0", "11.0.0.1", "172.15.255.255", "172.32.0.0",
                             "192.167.255.255", "192.169.0.0", "192.169.0.1", "169.253.255.255", "169.255.0.0",
                             "0.0.0.0", "127.0.0.1", "255.255.255.255", "8.8.8.8"}) {
        EXPECT_FALSE(CHelper::IsLanIP(Ip(text))) << text;
    }
}

TEST(ChooseNetIP, TakesTheOnePublicAddressAmongPrivateOnes) {
    EXPECT_EQ(Ip("203.0.113.7"), CHelper::ChooseNetIP(Ips({"10.0.0.5", "203.0.113.7", "192.168.1.1"})));
    EXPECT_EQ(Ip("203.0.113.7"), CHelper::ChooseNetIP(Ips({"203.0.113.7"})));
}

TEST(ChooseNetIP, GivesZeroForTwoPublicAddressesOrNone) {
    EXPECT_EQ(0u, CHelper::ChooseNetIP(Ips({"203.0.113.7", "10.0.0.5", "198.51.100.1"})));
    EXPECT_EQ(0u, CHelper::ChooseNetIP(Ips({"10.0.0.5", "172.16.0.1"})));
    EXPECT_EQ(0u, CHelper::ChooseNetIP({}));
}

TEST(ChooseLanIP, TakesTheFirstPrivateAddress) {
    EXPECT_EQ(Ip("172.20.0.1"), CHelper::ChooseLanIP(Ips({"203.0.113.7", "172.20.0.1", "10.0.0.5"})));
}

TEST(ChooseLanIP, FallsBackToFixedAddressWhenAllArePublic) {
    EXPECT_EQ(Ip("1.1.0.1"), CHelper::ChooseLanIP(Ips({"203.0.113.7", "198.51.100.1"})));
    EXPECT_EQ(Ip("1.1.0.1"), CHelper::ChooseLanIP({}));
}

TEST(GetAllHostIPs, FindsNoLoopbackAndNoEmptyAddress) {
    std::vector<unsigned int> ips;
    unsigned int count = CHelper::GetAllHostIPs(ips);
    EXPECT_EQ(ips.size(), count);
    for (unsigned int ip : ips) {
        EXPECT_NE(Ip("127.0.0.1"), ip);
        EXPECT_NE(0u, ip);
    }
}

TEST(GetAllHostIPs, AppendsWithoutClearing) {
    std::vector<unsigned int> alone;
    unsigned int found = CHelper::GetAllHostIPs(alone);
    std::vector<unsigned int> ips = {Ip("198.51.100.9")};
    EXPECT_EQ(found + 1, CHelper::GetAllHostIPs(ips));
    EXPECT_EQ(Ip("198.51.100.9"), ips.front());
}

TEST(GetAllHostIPs, AsksAgainWhenTheFirstRoomIsTooSmall) {
    // Room for one interface is too little as soon as the host has another
    // interface beside the loopback one; the later ones must still be found.
    std::vector<unsigned int> roomy;
    std::vector<unsigned int> tight;
    std::vector<unsigned int> standard;
    CHelper::GetAllHostIPs(roomy, 256);
    CHelper::GetAllHostIPs(tight, 1);
    CHelper::GetAllHostIPs(standard);
    EXPECT_EQ(roomy, tight);
    EXPECT_EQ(roomy, standard);
}

TEST(GetNetAndLanIP, AgreeWithTheChoiceOverTheHostAddresses) {
    std::vector<unsigned int> ips;
    CHelper::GetAllHostIPs(ips);
    EXPECT_EQ(CHelper::ChooseNetIP(ips), CHelper::GetNetIP());
    EXPECT_EQ(CHelper::ChooseLanIP(ips), CHelper::GetLanIP());
}

TEST(IpToStr, PrintsNetworkOrderAddressAndPort) {
    EXPECT_EQ("192.168.1.2:8080", CHelper::IpToStr(Ip("192.168.1.2"), htons(8080)));
    EXPECT_EQ("0.0.0.0:0", CHelper::IpToStr(0, 0));
    EXPECT_EQ("255.255.255.255:65535", CHelper::IpToStr(Ip("255.255.255.255"), htons(65535)));
}

TEST(HexText, TwoLowercaseDigitsPerByte) {
    const unsigned char bytes[] = {0x00, 0x0A, 0xFF, 0x5c};
    EXPECT_EQ("000aff5c", CHelper::Hex2Str(bytes, sizeof(bytes)));
    EXPECT_EQ("000aff5c", CHelper::Buf2Str(bytes, sizeof(bytes)));
    EXPECT_EQ("", CHelper::Hex2Str(bytes, 0));
    EXPECT_EQ("", CHelper::Hex2Str(nullptr, 4));
}

TEST(HexText, LongInputRoundTrips) {
    std::vector<unsigned char> bytes(5000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    std::string text = CHelper::Hex2Str(bytes.data(), static_cast<unsigned int>(bytes.size()));
    ASSERT_EQ(10000u, text.size());
    EXPECT_EQ("00070e15", text.substr(0, 8));
    std::vector<unsigned char> back;
    EXPECT_TRUE(CHelper::Str2Buf(text, back));
    EXPECT_EQ(bytes, back);
}

TEST(Str2Buf, ReadsPairsOfEitherCase) {
    std::vector<unsigned char> buf;
    EXPECT_TRUE(CHelper::Str2Buf("0aFf", buf));
    EXPECT_EQ((std::vector<unsigned char>{0x0A, 0xFF}), buf);
}

TEST(Str2Buf, StopsAtANonHexCharacterKeepingEarlierBytes) {
    std::vector<unsigned char> buf;
    EXPECT_FALSE(CHelper::Str2Buf("0g", buf));
    EXPECT_TRUE(buf.empty());
    EXPECT_FALSE(CHelper::Str2Buf("12 34", buf));
    EXPECT_EQ((std::vector<unsigned char>{0x12}), buf);
}

TEST(Str2Buf, DropsATrailingUnpairedDigitAndAppends) {
    std::vector<unsigned char> buf = {0x01};
    EXPECT_TRUE(CHelper::Str2Buf("abc", buf));
    EXPECT_EQ((std::vector<unsigned char>{0x01, 0xAB}), buf);
    EXPECT_TRUE(CHelper::Str2Buf("", buf));
    EXPECT_EQ(2u, buf.size());
}

TEST(StringToLower, ChangesOnlyAsciiCapitals) {
    std::string text = "AbZ@[`az09\xC3\x89";
    CHelper::StringToLower(text);
    EXPECT_EQ("abz@[`az09\xC3\x89", text);
}

TEST(GetFileExtName, TakesThePartFromTheLastDot) {
    EXPECT_EQ(".gz", CHelper::GetFileExtName("a.tar.gz"));
    EXPECT_EQ("", CHelper::GetFileExtName("README"));
    EXPECT_EQ(".", CHelper::GetFileExtName("name."));
    EXPECT_EQ(".bashrc", CHelper::GetFileExtName(".bashrc"));
    EXPECT_EQ(".mp4", CHelper::GetFileExtName("dir.v2/movie.mp4"));
}

TEST(GetFileExtName, IgnoresADotInADirectoryName) {
    EXPECT_EQ("", CHelper::GetFileExtName("dir.v2/README"));
    EXPECT_EQ("", CHelper::GetFileExtName("dir.v2/"));
}

TEST(ExePath, NamesThisTestProgramAndItsDirectory) {
    std::string exe = CHelper::GetExeFileName();
    ASSERT_FALSE(exe.empty());
    char resolved[PATH_MAX];
    ASSERT_NE(nullptr, realpath("/proc/self/exe", resolved));
    EXPECT_EQ(std::string(resolved), exe);
    EXPECT_EQ("svrlib_tests", exe.substr(exe.rfind('/') + 1));
    std::string dir = CHelper::GetExeDir();
    EXPECT_EQ(exe.substr(0, exe.rfind('/') + 1), dir);
    struct stat st;
    ASSERT_EQ(0, stat(dir.c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

class DirectoryListing : public ::testing::Test {
protected:
    void SetUp() override {
        zqtest::WriteFile(m_dir.file("a.txt"), "a");
        zqtest::WriteFile(m_dir.file("b"), "");
        ASSERT_EQ(0, mkdir(m_dir.file("sub1").c_str(), 0755));
        ASSERT_EQ(0, mkdir(m_dir.file("sub2").c_str(), 0755));
        zqtest::WriteFile(m_dir.file("sub1/deep.txt"), "deep");
        ASSERT_EQ(0, mkdir(m_dir.file("sub1/deeper").c_str(), 0755));
        // Links count as files, whether they point at a directory or nowhere.
        ASSERT_EQ(0, symlink("sub2", m_dir.file("link_to_dir").c_str()));
        ASSERT_EQ(0, symlink("missing", m_dir.file("dangling").c_str()));
    }

    zqtest::TempDir m_dir;
};

TEST_F(DirectoryListing, FilesAreNonDirectoriesIncludingLinks) {
    std::vector<std::string> names = {"stale"};
    EXPECT_EQ(4u, CHelper::GetDirectoryFiles(m_dir.path(), names));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "b", "dangling", "link_to_dir"}), Sorted(names));
}

TEST_F(DirectoryListing, DirectoriesLeaveOutDotEntriesAndLinks) {
    std::vector<std::string> names = {"stale"};
    EXPECT_EQ(2u, CHelper::GetAllDirectories(m_dir.path(), names));
    EXPECT_EQ((std::vector<std::string>{"sub1", "sub2"}), Sorted(names));
}

TEST_F(DirectoryListing, TrailingSlashMakesNoDifference) {
    std::vector<std::string> files;
    std::vector<std::string> dirs;
    EXPECT_EQ(4u, CHelper::GetDirectoryFiles(m_dir.path() + "/", files));
    EXPECT_EQ(2u, CHelper::GetAllDirectories(m_dir.path() + "/", dirs));
}

TEST_F(DirectoryListing, DoesNotDescend) {
    std::vector<std::string> files;
    std::vector<std::string> dirs;
    EXPECT_EQ(1u, CHelper::GetDirectoryFiles(m_dir.file("sub1"), files));
    EXPECT_EQ((std::vector<std::string>{"deep.txt"}), files);
    EXPECT_EQ(1u, CHelper::GetAllDirectories(m_dir.file("sub1"), dirs));
    EXPECT_EQ((std::vector<std::string>{"deeper"}), dirs);
}

TEST_F(DirectoryListing, EmptyMissingOrPlainPathGivesAnEmptyList) {
    std::vector<std::string> names = {"stale"};
    EXPECT_EQ(0u, CHelper::GetDirectoryFiles("", names));
    EXPECT_TRUE(names.empty());
    names = {"stale"};
    EXPECT_EQ(0u, CHelper::GetAllDirectories(m_dir.file("nope"), names));
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(0u, CHelper::GetDirectoryFiles(m_dir.file("a.txt"), names));
    EXPECT_EQ(0u, CHelper::GetDirectoryFiles(m_dir.file("sub2"), names));
}

TEST(SetFileLimit, RaisesALowSoftLimitWithoutLoweringTheHardOne) {
    int status = ExitStatusOfChild([] {
        struct rlimit lim;
        if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return 10;
        if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 128) return kCannotCheckHere;
        struct rlimit low = lim;
        low.rlim_cur = 64;
        if (setrlimit(RLIMIT_NOFILE, &low) != 0) return 11;
        if (!CHelper::SetFileLimit(100)) return 12;
        struct rlimit now;
        if (getrlimit(RLIMIT_NOFILE, &now) != 0) return 13;
        if (now.rlim_cur != 100) return 14;
        return now.rlim_max == lim.rlim_max ? 0 : 15;
    });
    if (status == kCannotCheckHere) GTEST_SKIP() << "hard open-file limit below 128";
    EXPECT_EQ(0, status);
}

TEST(SetFileLimit, LeavesAHigherLimitAlone) {
    struct rlimit before;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &before));
    ASSERT_GT(before.rlim_cur, 16u);
    EXPECT_TRUE(CHelper::SetFileLimit(16));
    struct rlimit after;
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &after));
    EXPECT_EQ(before.rlim_cur, after.rlim_cur);
    EXPECT_EQ(before.rlim_max, after.rlim_max);
}

TEST(SetFileLimit, FailsWhenTheHardLimitCannotBeRaised) {
    int status = ExitStatusOfChild([] {
        struct rlimit low = {64, 64};
        if (setrlimit(RLIMIT_NOFILE, &low) != 0) return 10;
        if (!DropPrivilege()) return kCannotCheckHere;
        if (CHelper::SetFileLimit(128)) return 11;
        struct rlimit now;
        if (getrlimit(RLIMIT_NOFILE, &now) != 0) return 12;
        return now.rlim_cur == 64 && now.rlim_max == 64 ? 0 : 13;
    });
    if (status == kCannotCheckHere) GTEST_SKIP() << "cannot give up root here";
    EXPECT_EQ(0, status);
}

TEST(GenCoreDumpFile, SetsTheSoftCoreSizeLimit) {
    int status = ExitStatusOfChild([] {
        struct rlimit lim;
        if (getrlimit(RLIMIT_CORE, &lim) != 0) return 10;
        if (CHelper::GenCoreDumpFile(0) != 0) return 11;
        struct rlimit now;
        if (getrlimit(RLIMIT_CORE, &now) != 0 || now.rlim_cur != 0) return 12;
        if (now.rlim_max != lim.rlim_max) return 13;
        if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max < 4096) return kCannotCheckHere;
        if (CHelper::GenCoreDumpFile(4096) != 0) return 14;
        if (getrlimit(RLIMIT_CORE, &now) != 0 || now.rlim_cur != 4096) return 15;
        return now.rlim_max == lim.rlim_max ? 0 : 16;
    });
    if (status == kCannotCheckHere) GTEST_SKIP() << "hard core-size limit below 4096";
    EXPECT_EQ(0, status);
}

TEST(GenCoreDumpFile, ComesAsNearAsAFixedHardLimitAllows) {
    int status = ExitStatusOfChild([] {
        struct rlimit low = {0, 8192};
        if (setrlimit(RLIMIT_CORE, &low) != 0) return 10;
        if (!DropPrivilege()) return kCannotCheckHere;
        if (CHelper::GenCoreDumpFile(0x80000000u) != -1) return 11;
        struct rlimit now;
        if (getrlimit(RLIMIT_CORE, &now) != 0) return 12;
        return now.rlim_cur == 8192 && now.rlim_max == 8192 ? 0 : 13;
    });
    if (status == kCannotCheckHere) GTEST_SKIP() << "cannot give up root here";
    EXPECT_EQ(0, status);
}

TEST(InitDaemon, GrandchildRunsInANewSessionInTheSameDirectory) {
    zqtest::TempDir dir;
    char resolved[PATH_MAX];
    ASSERT_NE(nullptr, realpath(dir.path().c_str(), resolved));
    const std::string expectedDir = resolved;

    // The grandchild is orphaned by design; as its subreaper this process can
    // still collect it instead of leaving it to init.
    ASSERT_EQ(0, prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0));
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const pid_t testPid = getpid();
    fflush(nullptr);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        if (chdir(expectedDir.c_str()) != 0) _exit(20);
        CHelper::init_daemon();
        // Only the grandchild gets here. Until the session leader has gone it
        // is that process's child, and that process ignores SIGCHLD: exiting
        // now would let the kernel reap it where this test cannot wait for it.
        for (int i = 0; i < 5000 && getppid() != testPid; ++i) usleep(2000);
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof(cwd)) == nullptr) cwd[0] = '\0';
        struct sigaction term;
        sigaction(SIGTERM, nullptr, &term);
        struct rlimit core;
        getrlimit(RLIMIT_CORE, &core);
        char report[PATH_MAX + 128];
        int n = snprintf(report, sizeof(report), "%d %d %d %d %llu %s", static_cast<int>(getpid()),
                         static_cast<int>(getsid(0)), static_cast<int>(getpgrp()),
                         term.sa_handler == SIG_IGN ? 1 : 0, static_cast<unsigned long long>(core.rlim_cur), cwd);
        if (n > 0 && write(fds[1], report, static_cast<size_t>(n)) != n) _exit(21);
        _exit(0);
    }
    close(fds[1]);
    int status = 0;
    bool childEnded = WaitForExit(child, &status);
    std::string report = ReadAll(fds[0]);
    close(fds[0]);

    int pid = 0, sid = 0, pgrp = 0, termIgnored = 0;
    unsigned long long coreLimit = 0;
    char cwd[PATH_MAX] = "";
    int fields = sscanf(report.c_str(), "%d %d %d %d %llu %4095[^\n]", &pid, &sid, &pgrp, &termIgnored, &coreLimit,
                        cwd);
    int grandchildStatus = -1;
    bool grandchildEnded = fields >= 1 && pid > 0 && WaitForExit(pid, &grandchildStatus);
    // The session leader may have come to this process as a zombie too.
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0, 0, 0, 0);

    ASSERT_TRUE(childEnded);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    ASSERT_EQ(6, fields) << report;
    EXPECT_TRUE(grandchildEnded);
    EXPECT_TRUE(WIFEXITED(grandchildStatus));
    EXPECT_EQ(0, WEXITSTATUS(grandchildStatus));
    EXPECT_NE(child, pid);
    // A new session whose leader has gone: the daemon cannot gain a terminal.
    EXPECT_NE(getsid(0), sid);
    EXPECT_NE(pid, sid);
    EXPECT_EQ(sid, pgrp);
    EXPECT_EQ(1, termIgnored);
    EXPECT_EQ(expectedDir, std::string(cwd));
    struct rlimit core;
    ASSERT_EQ(0, getrlimit(RLIMIT_CORE, &core));
    if (geteuid() == 0 || core.rlim_max == RLIM_INFINITY || core.rlim_max >= 0x80000000u) {
        EXPECT_EQ(0x80000000ull, coreLimit);
    } else {
        EXPECT_EQ(static_cast<unsigned long long>(core.rlim_max), coreLimit);
    }
}
