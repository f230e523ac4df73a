#include "filehelper.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "bytes.h"
#include "files.h"

namespace {

using zqtest::PatternBytes;
using zqtest::ReadFile;
using zqtest::TempDir;
using zqtest::WriteFile;

const unsigned long long kAllOnes = ~0ULL;

int CountOpenFds() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
    return count;
}

std::string ReadAll(CFileHelper& file, unsigned int len) {
    std::string buf(len, '\0');
    unsigned int got = file.Read(&buf[0], len);
    buf.resize(got);
    return buf;
}

TEST(FileHelperOpen, EmptyNameFailsWithoutOpening) {
    CFileHelper file("", 2);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(file.Open("", 2));
    EXPECT_FALSE(file.Open(nullptr, 2));
    EXPECT_FALSE(file.IsOpen());
}

TEST(FileHelperOpen, MissingFileCannotBeReadOpened) {
    TempDir dir;
    CFileHelper file(dir.file("absent").c_str(), 2);
    EXPECT_FALSE(file.IsOpen());
    EXPECT_FALSE(zqtest::FileExists(dir.file("absent")));
    EXPECT_EQ(file.GetFileName(), dir.file("absent"));
}

// Each mode number: whether it reads, whether it keeps existing content,
// whether it creates a missing file.
TEST(FileHelperOpen, ModeNumbersChooseTheOpenFlags) {
    struct Case {
        int mode;
        bool reads;
        bool keeps;
        bool creates;
    };
    const Case cases[] = {{1, true, true, false},   {2, true, true, false},   {3, false, true, true},
                          {4, false, true, true},   {5, false, false, true},  {6, false, false, true},
                          {7, true, true, true},    {8, true, true, true},    {9, true, false, true},
                          {10, true, false, true},  {0, true, true, false},   {11, true, true, false}};
    TempDir dir;
    for (const Case& c : cases) {
        std::string path = dir.file("f" + std::to_string(c.mode));
        WriteFile(path, "hello");
        {
            CFileHelper file(path.c_str(), c.mode);
            ASSERT_TRUE(file.IsOpen()) << c.mode;
            EXPECT_EQ(ReadAll(file, 16), c.reads ? (c.keeps ? "hello" : "") : "") << c.mode;
        }
        EXPECT_EQ(ReadFile(path), c.keeps ? "hello" : "") << c.mode;
        std::string fresh = dir.file("new" + std::to_string(c.mode));
        CFileHelper created(fresh.c_str(), c.mode);
        EXPECT_EQ(created.IsOpen(), c.creates) << c.mode;
        EXPECT_EQ(zqtest::FileExists(fresh), c.creates) << c.mode;
        struct stat st;
        if (c.creates && stat(fresh.c_str(), &st) == 0) {
            EXPECT_EQ(st.st_mode & 0777, 0600u) << c.mode;
        }
    }
}

TEST(FileHelperOpen, ReopeningClosesThePreviousDescriptor) {
    TempDir dir;
    WriteFile(dir.file("a"), "a");
    WriteFile(dir.file("b"), "bb");
    int before = CountOpenFds();
    {
        CFileHelper file(dir.file("a").c_str(), 2);
        ASSERT_TRUE(file.IsOpen());
        ASSERT_TRUE(file.Open(dir.file("b").c_str(), 2));
        EXPECT_EQ(CountOpenFds(), before + 1);
        EXPECT_EQ(ReadAll(file, 8), "bb");
        EXPECT_FALSE(file.Open(dir.file("c").c_str(), 2));
        EXPECT_EQ(CountOpenFds(), before);
    }
    EXPECT_EQ(CountOpenFds(), before);
}

TEST(FileHelperClose, CloseReleasesTheHandleAndIsRepeatable) {
    TempDir dir;
    WriteFile(dir.file("f"), "xyz");
    int before = CountOpenFds();
    CFileHelper file(dir.file("f").c_str(), 2);
    EXPECT_EQ(CountOpenFds(), before + 1);
    file.Close();
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(CountOpenFds(), before);
    file.Close();
    char c;
    EXPECT_EQ(file.Read(&c, 1), 0u);
    EXPECT_FALSE(file.Seek(0, 0));
}

TEST(FileHelperSeek, PositionsFromStartEndAndCurrent) {
    TempDir dir;
    WriteFile(dir.file("f"), "0123456789");
    CFileHelper file(dir.file("f").c_str(), 2);
    ASSERT_TRUE(file.Seek(3, 0));
    EXPECT_EQ(ReadAll(file, 2), "34");
    ASSERT_TRUE(file.Seek(2, 2));
    EXPECT_EQ(ReadAll(file, 2), "78");
    ASSERT_TRUE(file.Seek(static_cast<unsigned long long>(-4LL), 1));
    EXPECT_EQ(ReadAll(file, 10), "6789");
    ASSERT_TRUE(file.Seek(0, 1));
    EXPECT_EQ(ReadAll(file, 10), "");
    EXPECT_FALSE(file.Seek(0, 3));
    EXPECT_FALSE(file.Seek(0, -1));
    EXPECT_FALSE(file.Seek(static_cast<unsigned long long>(-100LL), 0)) << "before the start";
}

TEST(FileHelperSize, SizesOfFilesLinksAndMissingNames) {
    TempDir dir;
    WriteFile(dir.file("target"), std::string(12345, 'x'));
    ASSERT_EQ(symlink("target", dir.file("link").c_str()), 0);
    EXPECT_EQ(CFileHelper::GetFileSize(dir.file("target").c_str()), 12345u);
    EXPECT_EQ(CFileHelper::GetFileSize(dir.file("link").c_str()), 6u) << "the link's own length";
    EXPECT_EQ(CFileHelper::GetContentSize(dir.file("link").c_str()), 12345u);
    EXPECT_EQ(CFileHelper::GetFileSize(dir.file("absent").c_str()), kAllOnes);
    EXPECT_EQ(CFileHelper::GetContentSize(dir.file("absent").c_str()), kAllOnes);
    EXPECT_EQ(CFileHelper::GetFileSize(nullptr), kAllOnes);

    CFileHelper viaLink(dir.file("link").c_str(), 2);
    ASSERT_TRUE(viaLink.IsOpen());
    EXPECT_EQ(viaLink.GetSize(), 12345u) << "an open handle reports what it reads";
    CFileHelper unopened(dir.file("absent").c_str(), 2);
    EXPECT_EQ(unopened.GetSize(), kAllOnes);
}

TEST(FileHelperSize, RegularFileTest) {
    TempDir dir;
    WriteFile(dir.file("f"), "x");
    ASSERT_EQ(symlink("f", dir.file("l").c_str()), 0);
    ASSERT_EQ(mkfifo(dir.file("p").c_str(), 0600), 0);
    EXPECT_TRUE(CFileHelper::IsRegularFile(dir.file("f").c_str()));
    EXPECT_TRUE(CFileHelper::IsRegularFile(dir.file("l").c_str()));
    EXPECT_FALSE(CFileHelper::IsRegularFile(dir.file("p").c_str()));
    EXPECT_FALSE(CFileHelper::IsRegularFile(dir.path().c_str()));
    EXPECT_FALSE(CFileHelper::IsRegularFile(dir.file("absent").c_str()));
}

TEST(FileHelperLargeFiles, ReadsNearTheEndOfFilesAbove4And8GiB) {
    TempDir dir;
    for (uint64_t size : {(4ULL << 30) + 4097, (8ULL << 30) + 12345}) {
        std::string tail = PatternBytes(300, static_cast<uint32_t>(size));
        std::string mid = PatternBytes(64, 7);
        uint64_t midOff = (1ULL << 32) + 17;  // just past the 32-bit boundary
        std::string path = dir.file("sparse");
        zqtest::WriteSparseFile(path, size, {{midOff, mid}, {size - tail.size(), tail}});
        CFileHelper file(path.c_str(), 2);
        ASSERT_TRUE(file.IsOpen());
        EXPECT_EQ(file.GetSize(), size);
        std::string buf(400, '\0');
        EXPECT_EQ(file.Read(size - 300, &buf[0], 400), 300u);
        EXPECT_EQ(buf.substr(0, 300), tail);
        EXPECT_EQ(file.Read(midOff, &buf[0], 64), 64u);
        EXPECT_EQ(buf.substr(0, 64), mid);
        EXPECT_EQ(file.Read(midOff - 8, &buf[0], 8), 8u);
        EXPECT_EQ(buf.substr(0, 8), std::string(8, '\0'));
        EXPECT_EQ(file.Read(size, &buf[0], 400), 0u) << "at the end";
    }
}

}  // namespace

// A sysfs laid out in a temporary directory for the test file's own device:
// its queue's flag, or (for a partition) only its disk's, one level up.
TEST(FileHelperStorage, RotationalQueueOfTheDeviceOrItsDiskMakesSeeksCostly) {
    TempDir dir;
    WriteFile(dir.file("f"), "x");
    int fd = open(dir.file("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    const std::string sys = dir.file("sys");
    const std::string disk = sys + "/devices/disk";
    const std::string part = disk + "/part1";
    for (const std::string& d : {sys, sys + "/dev", sys + "/dev/block", sys + "/devices", disk, disk + "/queue", part})
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
    const std::string link = sys + "/dev/block/" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    ASSERT_EQ(symlink(part.c_str(), link.c_str()), 0);
    EXPECT_FALSE(CFileHelper::SeeksAreCostly(fd, sys)) << "no flag says so";
    WriteFile(disk + "/queue/rotational", "1\n");
    EXPECT_TRUE(CFileHelper::SeeksAreCostly(fd, sys)) << "the partition's disk spins";
    ASSERT_EQ(mkdir((part + "/queue").c_str(), 0755), 0);
    WriteFile(part + "/queue/rotational", "0\n");
    EXPECT_FALSE(CFileHelper::SeeksAreCostly(fd, sys)) << "the device's own queue wins";
    close(fd);
}

namespace {

int CachedPercentOf(const std::string& path, ECacheProbe probe) {
    int fd = open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0) return -2;
    int percent = CFileHelper::CachedPercent(fd, probe);
    close(fd);
    return percent;
}

}  // namespace

// Sizes around a page and around the point where whole-file counting gives
// way to sampled windows, the last ending on the file's last, partial page:
// a probe that strays past the file fails (mincore past the mapping) or
// miscounts, with either kernel interface.
TEST(FileHelperCache, ResidentAfterReadingAndNotAfterEviction) {
    TempDir dir;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t sampled = static_cast<size_t>(CACHE_SAMPLE_WINDOWS) * CACHE_SAMPLE_PAGES * page;
    WriteFile(dir.file("empty"), "");
    for (ECacheProbe probe : {CACHE_PROBE_ANY, CACHE_PROBE_MINCORE})
        EXPECT_EQ(CachedPercentOf(dir.file("empty"), probe), 100) << "nothing to read is all there";
    for (size_t size : {size_t{1}, 3 * page + 1, sampled, sampled + 1, 8 * sampled + 123}) {
        const std::string path = dir.file("f" + std::to_string(size));
        WriteFile(path, PatternBytes(size, 7));
        EXPECT_EQ(ReadFile(path).size(), size);
        for (ECacheProbe probe : {CACHE_PROBE_ANY, CACHE_PROBE_MINCORE})
            EXPECT_EQ(CachedPercentOf(path, probe), 100) << size << " bytes, probe " << probe;
        ASSERT_TRUE(zqtest::DropFromPageCache(path));
        const int evicted = CachedPercentOf(path, CACHE_PROBE_MINCORE);
        if (evicted == 100) GTEST_SKIP() << "this file system keeps evicted pages";
        EXPECT_EQ(evicted, 0) << size << " bytes";
        EXPECT_EQ(CachedPercentOf(path, CACHE_PROBE_ANY), 0) << size << " bytes";
    }
}

// Only the front half back in the cache: a sampler that looked at the front
// alone would call the file cached.
TEST(FileHelperCache, SamplesTheWholeFileNotItsFront) {
    TempDir dir;
    const size_t size = size_t{32} << 20;
    const std::string path = dir.file("f");
    WriteFile(path, PatternBytes(size, 7));
    ASSERT_TRUE(zqtest::DropFromPageCache(path));
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // No read-ahead, so exactly the front half comes back.
    posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
    std::string half(size / 2, '\0');
    ASSERT_EQ(pread(fd, &half[0], half.size(), 0), static_cast<ssize_t>(half.size()));
    for (ECacheProbe probe : {CACHE_PROBE_ANY, CACHE_PROBE_MINCORE}) {
        int percent = CFileHelper::CachedPercent(fd, probe);
        if (percent == 100) GTEST_SKIP() << "this file system keeps evicted pages";
        EXPECT_GE(percent, 45) << "probe " << probe;
        EXPECT_LE(percent, 55) << "probe " << probe;
    }
    close(fd);
}
