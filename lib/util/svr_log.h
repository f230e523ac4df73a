// The process-wide logs and the one macro family every diagnostic goes
// through. The level is checked before anything is formatted, and the line
// prefix "[level] file.line(function): " is written by the macro alone.
#ifndef ZQ_SVR_LOG_H
#define ZQ_SVR_LOG_H

#include "log.h"

extern CErrLog g_ErrLog;
extern CLog g_VisitLog;
extern CLog g_StatisLog;

enum {
    LOG_LEVEL_FATAL = 1,
    LOG_LEVEL_ERR = 2,
    LOG_LEVEL_WARN = 3,
    LOG_LEVEL_INFO = 4,
    LOG_LEVEL_DEBUG = 5,
};

// The source file's name without directories or extension, the way the log
// names it ("config" for .../src/config.cpp): ZqLogFileBase finds where it
// starts, ZqLogFileBaseLen how long it is up to the extension.
constexpr const char* ZqLogFileBase(const char* path) {
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') base = p + 1;
    }
    return base;
}
constexpr int ZqLogFileBaseLen(const char* base) {
    int len = 0;
    int dot = -1;
    for (; base[len] != '\0'; ++len) {
        if (base[len] == '.') dot = len;
    }
    return dot > 0 ? dot : len;
}

#define ZQ_LOG(level, fmt, ...)                                                                         \
    do {                                                                                                \
        if (g_ErrLog.IsEnable(level)) {                                                                 \
            constexpr const char* zqLogBase_ = ZqLogFileBase(__FILE__);                                 \
            g_ErrLog.Write("[%s] %.*s.%d(%s): " fmt, CErrLog::GetLevelInStr(level),                     \
                           ZqLogFileBaseLen(zqLogBase_), zqLogBase_, __LINE__, __FUNCTION__, ##__VA_ARGS__); \
        }                                                                                               \
    } while (0)

#define LOG_FATAL(fmt, ...) ZQ_LOG(LOG_LEVEL_FATAL, fmt, ##__VA_ARGS__)
#define LOG_ERR(fmt, ...) ZQ_LOG(LOG_LEVEL_ERR, fmt, ##__VA_ARGS__)
#define LOG_WARN(fmt, ...) ZQ_LOG(LOG_LEVEL_WARN, fmt, ##__VA_ARGS__)
#define LOG_INFO(fmt, ...) ZQ_LOG(LOG_LEVEL_INFO, fmt, ##__VA_ARGS__)
#define LOG_DEBUG(fmt, ...) ZQ_LOG(LOG_LEVEL_DEBUG, fmt, ##__VA_ARGS__)

#endif
