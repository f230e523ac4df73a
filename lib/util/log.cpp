#include "log.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstring>

#include "str_util.h"

char CLog::s_szLogBuf[CLog::LOG_BUF_SIZE];
char CLog::s_szDateTime[CLog::DATE_TIME_BUF_SIZE];
char CLog::s_szFileNameBuf[CLog::FILE_NAME_BUF_SIZE];
char CLog::s_szMemHexInfoBuf[CLog::MEM_HEX_INFO_BUF_SIZE];

static time_t SystemNow() { return time(nullptr); }
CLog::TimeSource CLog::s_pfnNow = SystemNow;

namespace {
class CLockGuard {
public:
    CLockGuard(pthread_mutex_t* mutex, bool enabled) : m_pMutex(enabled ? mutex : nullptr) {
        if (m_pMutex) pthread_mutex_lock(m_pMutex);
    }
    ~CLockGuard() {
        if (m_pMutex) pthread_mutex_unlock(m_pMutex);
    }

private:
    pthread_mutex_t* m_pMutex;
};

void LocalNow(time_t now, struct tm* out) {
    if (localtime_r(&now, out) == nullptr) memset(out, 0, sizeof(*out));
}
}  // namespace

CLog::CLog() : m_iSockFd(-1), m_pFile(nullptr), m_thread_safe(false) {
    m_szFileName[0] = '\0';
    m_RemoteAddr.Reset();
    reset();
    pthread_mutex_init(&m_log_mutex, nullptr);
}

CLog::~CLog() {
    {
        CLockGuard guard(&m_log_mutex, m_thread_safe);
        if (m_pFile != nullptr) {
            fflush(m_pFile);
            fclose(m_pFile);
            m_pFile = nullptr;
        }
    }
    CloseSocket();
    pthread_mutex_destroy(&m_log_mutex);
}

sint32 CLog::reset() {
    {
        CLockGuard guard(&m_log_mutex, m_thread_safe);
        if (m_pFile != nullptr) {
            fflush(m_pFile);
            fclose(m_pFile);
            m_pFile = nullptr;
        }
    }
    m_bPrintLog = false;
    m_bFileLog = false;
    m_bImmediateFlush = false;
    m_bRemoteLog = false;
    CloseSocket();
    m_nRotateType = FL_FILE_SIZE_ROTATE;
    m_iMaxFileSize = 0xA00000;
    m_iMaxFileIndex = 0xFFFFFFFF;
    m_iCurMaxFileIndex = 0;
    m_iLastDay = 0;
    m_thread_safe = false;
    return 0;
}

void CLog::CloseSocket() {
    if (m_iSockFd >= 0) close(m_iSockFd);
    m_iSockFd = -1;
}

sint32 CLog::OpenPrintLog() {
    m_bPrintLog = true;
    return 0;
}

sint32 CLog::ClosePrintLog() {
    m_bPrintLog = false;
    return 0;
}

sint32 CLog::InitFileLog(char* pszFileName, bool bImmediateFlush, EFileLogRotateType nRotateType,
                         uint32 iMaxFileSize, uint32 iMaxFileIndex) {
    if (pszFileName == nullptr) return -1;
    size_t i = 0;
    for (; i < FILE_NAME_BUF_SIZE - 1 && pszFileName[i] != '\0'; ++i) m_szFileName[i] = pszFileName[i];
    m_szFileName[i] = '\0';
    m_bImmediateFlush = bImmediateFlush;
    m_nRotateType = nRotateType;
    m_iMaxFileSize = iMaxFileSize;
    // With 0 the rotation would delete downwards past the live file for ever.
    m_iMaxFileIndex = iMaxFileIndex == 0 ? 1 : iMaxFileIndex;
    return 0;
}

sint32 CLog::OpenFileLog() {
    if (m_szFileName[0] == '\0') return -1;
    if (m_bFileLog) return 0;
    m_bFileLog = true;
    InitCurMaxFileIndex();
    return 0;
}

sint32 CLog::CloseFileLog() {
    m_bFileLog = false;
    return 0;
}

sint32 CLog::InitRemoteLog(char* pszRemoteIp, uint16 nRemotePort) {
    if (pszRemoteIp == nullptr) return -1;
    in_addr parsed;
    if (inet_aton(pszRemoteIp, &parsed) == 0) return -1;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    CloseSocket();
    m_iSockFd = fd;
    m_RemoteAddr.Reset();
    m_RemoteAddr.SetAddr(pszRemoteIp, nRemotePort);
    return 0;
}

sint32 CLog::OpenRemoteLog() {
    m_bRemoteLog = true;
    return 0;
}

sint32 CLog::CloseRemoteLog() {
    m_bRemoteLog = false;
    return 0;
}

sint32 CLog::set_thread_safe(bool thread_safe) {
    m_thread_safe = thread_safe;
    return 0;
}

bool CLog::IsEnable() const { return m_bPrintLog || m_bFileLog || m_bRemoteLog; }

void CLog::SetTimeSource(TimeSource pfnNow) { s_pfnNow = pfnNow ? pfnNow : SystemNow; }

void CLog::Write(const char* fmt, ...) {
    CLockGuard guard(&m_log_mutex, m_thread_safe);
    int n = snprintf(s_szLogBuf, LOG_BUF_SIZE - 1, "[%s] ", GetDateTimeStr());
    if (n < 0) n = 0;
    if (n > LOG_BUF_SIZE - 3) n = LOG_BUF_SIZE - 3;
    // Two bytes of the buffer stay free for the newline and the terminator.
    size_t room = static_cast<size_t>(LOG_BUF_SIZE - 2 - n);
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(s_szLogBuf + n, room, fmt, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(n);
    if (m > 0) len += (static_cast<size_t>(m) < room ? static_cast<size_t>(m) : room - 1);
    if (len == 0 || s_szLogBuf[len - 1] != '\n') s_szLogBuf[len++] = '\n';
    s_szLogBuf[len] = '\0';
    WriteData(s_szLogBuf, static_cast<uint32>(len));
}

void CLog::WriteData(char* pszData, uint32 iDataSize) {
    if (m_bPrintLog) fputs(pszData, stdout);
    if (m_bFileLog) {
        bool ready = true;
        if (m_pFile == nullptr) {
            m_pFile = OpenFirstFile();
            ready = m_pFile != nullptr;
        } else if (NeedRotate()) {
            Rotate();
            m_pFile = OpenFirstFile();
            ready = m_pFile != nullptr;
        }
        if (ready) {
            fwrite(pszData, 1, iDataSize, m_pFile);
            if (m_bImmediateFlush) fflush(m_pFile);
        }
    }
    if (m_bRemoteLog && m_iSockFd >= 0 && iDataSize > 0) {
        sendto(m_iSockFd, pszData, iDataSize - 1, 0, reinterpret_cast<sockaddr*>(m_RemoteAddr.GetSockAddr()),
               sizeof(sockaddr_in));
    }
}

FILE* CLog::OpenFile(const char* pszFileName, bool bCreate) {
    if (!bCreate) return fopen(pszFileName, "r");
    FILE* file = fopen(pszFileName, "a+");
    if (file == nullptr) {
        MKPATH_FOR_FILE(pszFileName);
        file = fopen(pszFileName, "a+");
    }
    return file;
}

FILE* CLog::OpenFirstFile() {
    switch (m_nRotateType) {
        case FL_FILE_SIZE_ROTATE:
            return OpenFile(MakeFileName(m_szFileName, nullptr, 0), true);
        case FL_DAILY_ROTATE: {
            // Day first: should midnight pass in between, the stale day only
            // makes the next line reopen today's file, never keep yesterday's.
            m_iLastDay = GetCurDay();
            return OpenFile(MakeFileName(m_szFileName, GetDateStr(), 0), true);
        }
        default:
            return nullptr;
    }
}

bool CLog::NeedRotate() const {
    switch (m_nRotateType) {
        case FL_FILE_SIZE_ROTATE: {
            if (m_iMaxFileSize == 0 || m_pFile == nullptr) return false;
            // 64-bit, so a file past 2 GiB still counts as full.
            off_t pos = ftello(m_pFile);
            return pos >= 0 && static_cast<uint64>(pos) >= m_iMaxFileSize;
        }
        case FL_DAILY_ROTATE:
            return GetCurDay() != m_iLastDay;
        default:
            return false;
    }
}

sint32 CLog::Rotate() {
    if (m_nRotateType == FL_FILE_SIZE_ROTATE) {
        FileSizeRotate();
    } else if (m_nRotateType == FL_DAILY_ROTATE) {
        DailyRotate();
    }
    return 0;
}

sint32 CLog::DailyRotate() {
    if (m_pFile != nullptr) {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    return 0;
}

sint32 CLog::FileSizeRotate() {
    if (m_pFile != nullptr) {
        fclose(m_pFile);
        m_pFile = nullptr;
    }
    uint32 cur = m_iCurMaxFileIndex;
    uint32 max = m_iMaxFileIndex == 0 ? 1 : m_iMaxFileIndex;
    char src[FILE_NAME_BUF_SIZE];
    char dst[FILE_NAME_BUF_SIZE];
    while (cur >= max) {
        MakeFileName(dst, sizeof(dst), m_szFileName, nullptr, cur);
        remove(dst);
        --cur;
    }
    MakeFileName(dst, sizeof(dst), m_szFileName, nullptr, cur + 1);
    for (sint64 i = cur; i >= 0; --i) {
        MakeFileName(src, sizeof(src), m_szFileName, nullptr, static_cast<uint32>(i));
        rename(src, dst);
        memcpy(dst, src, sizeof(dst));
    }
    m_iCurMaxFileIndex = cur + 1;
    return 0;
}

uint32 CLog::GetCurDay() const {
    struct tm now;
    LocalNow(s_pfnNow(), &now);
    return static_cast<uint32>(now.tm_mday);
}

void CLog::InitCurMaxFileIndex() {
    const char* postfix = m_nRotateType == FL_DAILY_ROTATE ? GetDateStr() : nullptr;
    char postfixCopy[DATE_TIME_BUF_SIZE];
    if (postfix != nullptr) {
        snprintf(postfixCopy, sizeof(postfixCopy), "%s", postfix);
        postfix = postfixCopy;
    }
    char name[FILE_NAME_BUF_SIZE];
    uint32 i = 0;
    for (; i < 0xFFFFFFFF; ++i) {
        MakeFileName(name, sizeof(name), m_szFileName, postfix, i);
        FILE* file = OpenFile(name, false);
        if (file == nullptr) break;
        fclose(file);
    }
    m_iCurMaxFileIndex = i;
}

const char* CLog::GetDateTimeStr() {
    struct tm now;
    LocalNow(s_pfnNow(), &now);
    snprintf(s_szDateTime, DATE_TIME_BUF_SIZE - 1, "%04d-%02d-%02d %02d:%02d:%02d", now.tm_year + 1900,
             now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
    return s_szDateTime;
}

const char* CLog::GetDateStr() {
    struct tm now;
    LocalNow(s_pfnNow(), &now);
    snprintf(s_szDateTime, DATE_TIME_BUF_SIZE - 1, "%04d%02d%02d", now.tm_year + 1900, now.tm_mon + 1,
             now.tm_mday);
    return s_szDateTime;
}

uint32 CLog::MakeFileName(char* pszDstBuf, uint32 iDstBufSize, const char* pszFileName,
                          const char* pszDailyPostfix, uint32 iFileIndex) {
    if (pszDstBuf == nullptr || iDstBufSize == 0) return 0;
    pszDstBuf[0] = '\0';
    size_t len = 0;
    auto append = [&](const char* fmt, auto value) {
        if (len >= iDstBufSize - 1) return;
        int n = snprintf(pszDstBuf + len, iDstBufSize - len, fmt, value);
        if (n > 0) len += static_cast<size_t>(n);
        if (len > iDstBufSize - 1) len = iDstBufSize - 1;
    };
    if (pszFileName != nullptr && pszFileName[0] != '\0') append("%s", pszFileName);
    if (pszDailyPostfix != nullptr) append(".%s", pszDailyPostfix);
    if (iFileIndex != 0) append(".%u", iFileIndex);
    return static_cast<uint32>(len);
}

const char* CLog::MakeFileName(const char* pszFileName, const char* pszDailyPostfix, uint32 iFileIndex) {
    MakeFileName(s_szFileNameBuf, FILE_NAME_BUF_SIZE, pszFileName, pszDailyPostfix, iFileIndex);
    return s_szFileNameBuf;
}

const char* CLog::GetMemHexInfo(const char* pData, size_t iDataSize) {
    s_szMemHexInfoBuf[0] = '\0';
    ::GetMemHexInfo(s_szMemHexInfoBuf, MEM_HEX_INFO_BUF_SIZE, pData, iDataSize);
    return s_szMemHexInfoBuf;
}

const CErrLog::CLogLevelDef CErrLog::s_LogLevelDefs[5] = {
    {1, "fatal"}, {2, "err"}, {3, "warn"}, {4, "info"}, {5, "debug"},
};

CErrLog::CErrLog() : m_iOutLevel(5) {}

CErrLog::~CErrLog() {}

bool CErrLog::IsEnable(sint32 iLevel) const {
    if (m_iOutLevel < iLevel) return false;
    return CLog::IsEnable();
}

const char* CErrLog::GetLevelInStr(sint32 iLevel) {
    for (const CLogLevelDef& def : s_LogLevelDefs) {
        if (def.iLevel == iLevel) return def.pszComment;
    }
    return "unknown";
}

void MKDIR(char* path) { mkdir(path, 0777); }

void MKPATH_FOR_FILE(const char* pszFilePath) {
    if (pszFilePath == nullptr) return;
    char part[CLog::FILE_NAME_BUF_SIZE];
    for (const char* slash = strchr(pszFilePath, '/'); slash != nullptr; slash = strchr(slash + 1, '/')) {
        size_t len = static_cast<size_t>(slash - pszFilePath);
        if (len == 0) continue;
        if (len > sizeof(part) - 1) len = sizeof(part) - 1;
        memcpy(part, pszFilePath, len);
        part[len] = '\0';
        MKDIR(part);
    }
}
