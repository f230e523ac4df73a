// Capturing what the library logs: every g_ErrLog line a test causes, read
// back from a file of its own.
#ifndef ZQ_TEST_LOG_CAPTURE_H
#define ZQ_TEST_LOG_CAPTURE_H

#include <string>

#include "files.h"

namespace zqtest {

// Sends every g_ErrLog line at or below `level` to a file in a temporary
// directory; restores the previous level and turns the file off on destruction.
class LogCapture {
public:
    explicit LogCapture(int level = 5);
    ~LogCapture();
    std::string Text() const;
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
    size_t Count(const std::string& text) const;

private:
    TempDir m_dir;
    int m_prevLevel;
};

}  // namespace zqtest

#endif
