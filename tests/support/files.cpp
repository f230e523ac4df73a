#include "files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "deadline.h"

namespace zqtest {

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/zqtest.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_path = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

bool DropFromPageCache(const std::string& path, uint64_t offset) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = fdatasync(fd) == 0 &&
              posix_fadvise(fd, static_cast<off_t>(offset), 0, POSIX_FADV_DONTNEED) == 0;
    close(fd);
    return ok;
}

void WriteFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool FileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

void WriteSparseFile(const std::string& path, uint64_t size,
                     const std::vector<std::pair<uint64_t, std::string> >& patches) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    bool ok = ftruncate(fd, static_cast<off_t>(size)) == 0;
    for (const auto& patch : patches) {
        if (!ok) break;
        ssize_t n = pwrite(fd, patch.second.data(), patch.second.size(), static_cast<off_t>(patch.first));
        ok = n == static_cast<ssize_t>(patch.second.size());
    }
    close(fd);
    if (!ok) throw std::runtime_error("cannot write " + path);
}

bool WaitForFileWithPrefix(const std::string& dir, const std::string& prefix, int timeoutMs) {
    Deadline deadline(timeoutMs);
    for (;;) {
        if (DIR* d = opendir(dir.c_str())) {
            bool found = false;
            while (dirent* e = readdir(d))
                if (std::string(e->d_name).rfind(prefix, 0) == 0) found = true;
            closedir(d);
            if (found) return true;
        }
        if (deadline.Passed()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

unsigned long FillUp(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return 0;
    unsigned long total = 0;
    char block[4096];
    memset(block, 'f', sizeof(block));
    size_t chunk = sizeof(block);
    // Whole blocks first, then single bytes, so no partial block is left free.
    while (chunk > 0) {
        ssize_t n = write(fd, block, chunk);
        if (n > 0) {
            total += static_cast<unsigned long>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        chunk /= 2;
    }
    fsync(fd);
    close(fd);
    return total;
}

TestMount::~TestMount() { Unmount(); }

bool TestMount::Tmpfs(const std::string& dir, unsigned long sizeBytes) {
    std::string opts = "size=" + std::to_string(sizeBytes);
    if (mount("tmpfs", dir.c_str(), "tmpfs", 0, opts.c_str()) != 0) {
        m_error = std::string("mount -t tmpfs: ") + strerror(errno);
        return false;
    }
    m_dir = dir;
    return true;
}

bool TestMount::ReadOnlyBind(const std::string& dir) {
    if (mount(dir.c_str(), dir.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        m_error = std::string("mount --bind: ") + strerror(errno);
        return false;
    }
    m_dir = dir;
    if (mount(nullptr, dir.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
        m_error = std::string("mount -o remount,ro,bind: ") + strerror(errno);
        Unmount();
        return false;
    }
    return true;
}

bool TestMount::Unmount() {
    if (m_dir.empty()) return true;
    // Lazy: a server still holding a file there must not keep the mount alive
    // past the test's temporary directory.
    bool ok = umount2(m_dir.c_str(), MNT_DETACH) == 0;
    m_dir.clear();
    return ok;
}

}  // namespace zqtest
