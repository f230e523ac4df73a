#include "log_capture.h"

#include <vector>

#include "svr_log.h"

namespace zqtest {

LogCapture::LogCapture(int level) : m_prevLevel(g_ErrLog.GetOutLevel()) {
    std::string path = m_dir.file("errlog");
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    g_ErrLog.reset();
    g_ErrLog.InitFileLog(name.data(), true, FL_FILE_SIZE_ROTATE, 0, 1);
    g_ErrLog.OpenFileLog();
    g_ErrLog.SetOutLevel(level);
}

LogCapture::~LogCapture() {
    g_ErrLog.reset();
    g_ErrLog.SetOutLevel(m_prevLevel);
}

std::string LogCapture::Text() const { return ReadFile(m_dir.file("errlog")); }

size_t LogCapture::Count(const std::string& text) const {
    std::string all = Text();
    size_t n = 0;
    for (size_t pos = all.find(text); pos != std::string::npos; pos = all.find(text, pos + text.size())) ++n;
    return n;
}

}  // namespace zqtest
