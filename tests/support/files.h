// Files for tests: fresh temporary directories, whole files written and read
// in one call, sparse files (large sizes without writing gigabytes), a file
// system filled to the last byte, and a size-limited or read-only mount a
// test may make when the machine lets it.
#ifndef ZQ_TEST_FILES_H
#define ZQ_TEST_FILES_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zqtest {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& contents);
std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

// Creates path with the given size, holes everywhere except the listed
// (offset, bytes) patches.
void WriteSparseFile(const std::string& path, uint64_t size,
                     const std::vector<std::pair<uint64_t, std::string> >& patches);

// Writes path's dirty pages out and asks the kernel to drop its cached pages
// from offset on (0: the whole file). False when the calls fail; whether the
// pages really left (not on tmpfs, say) is for the caller to check.
bool DropFromPageCache(const std::string& path, uint64_t offset = 0);

// Polls until dir holds a file whose name begins with prefix, at most timeoutMs.
bool WaitForFileWithPrefix(const std::string& dir, const std::string& prefix, int timeoutMs);

// Writes path until its file system has no room left; the bytes written.
unsigned long FillUp(const std::string& path);

// A mount over an existing directory, undone on destruction. Mounting needs
// privileges a test machine may not grant: check Mounted() and skip.
class TestMount {
public:
    TestMount() = default;
    ~TestMount();
    TestMount(const TestMount&) = delete;
    TestMount& operator=(const TestMount&) = delete;

    // A tmpfs of at most sizeBytes at dir; false (reason in Error()) when refused.
    bool Tmpfs(const std::string& dir, unsigned long sizeBytes);
    // dir itself, again, read-only.
    bool ReadOnlyBind(const std::string& dir);
    bool Unmount();
    bool Mounted() const { return !m_dir.empty(); }
    const std::string& Error() const { return m_error; }

private:
    std::string m_dir;
    std::string m_error;
};

}  // namespace zqtest

#endif
