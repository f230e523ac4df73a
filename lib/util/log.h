// Line logs with three independent outputs: standard output, a file rotated by
// size or by day, and one datagram per line. CErrLog adds a level filter.
// The line, date and name buffers are class-wide, so the write path never
// allocates; a thread-safe log serialises its own writers only, and two logs
// must not be written from two threads at once.
#ifndef ZQ_LOG_H
#define ZQ_LOG_H

#include <pthread.h>
#include <cstdio>
#include <ctime>

#include "common_header.h"
#include "inet_addr.h"

enum EFileLogRotateType {
    FL_FILE_SIZE_ROTATE = 1,
    FL_DAILY_ROTATE = 2,
};

class CLog {
public:
    CLog();
    virtual ~CLog();

    sint32 reset();
    sint32 OpenPrintLog();
    sint32 ClosePrintLog();
    // Records the settings only; the file is created by the first line written.
    // A maximum index of 0 is taken as 1: a rotation always keeps the previous
    // file rather than deleting the live series.
    sint32 InitFileLog(char* pszFileName, bool bImmediateFlush, EFileLogRotateType nRotateType, uint32 iMaxFileSize,
                       uint32 iMaxFileIndex);
    sint32 OpenFileLog();
    sint32 CloseFileLog();
    // Keeps the address and opens a datagram socket, so remote output works.
    // -1 when the text is not an IPv4 address or no socket can be opened.
    sint32 InitRemoteLog(char* pszRemoteIp, uint16 nRemotePort);
    sint32 OpenRemoteLog();
    sint32 CloseRemoteLog();
    sint32 set_thread_safe(bool thread_safe);

    virtual bool IsEnable() const;

    void Write(const char* fmt, ...) __attribute__((format(printf, 2, 3)));

    static const char* GetMemHexInfo(const char* pData, size_t iDataSize);

    // Tests replace the clock to cross a day without waiting; null restores time().
    typedef time_t (*TimeSource)();
    static void SetTimeSource(TimeSource pfnNow);

    // Read-only views for callers and tests.
    const char* GetFileName() const { return m_szFileName; }
    uint32 GetCurMaxFileIndex() const { return m_iCurMaxFileIndex; }
    uint32 GetMaxFileIndex() const { return m_iMaxFileIndex; }
    uint32 GetMaxFileSize() const { return m_iMaxFileSize; }
    EFileLogRotateType GetRotateType() const { return m_nRotateType; }
    bool IsThreadSafe() const { return m_thread_safe; }
    bool IsFileLogOn() const { return m_bFileLog; }
    bool IsPrintLogOn() const { return m_bPrintLog; }
    bool IsRemoteLogOn() const { return m_bRemoteLog; }

    enum {
        LOG_BUF_SIZE = 102400,
        DATE_TIME_BUF_SIZE = 64,
        FILE_NAME_BUF_SIZE = 260,
        MEM_HEX_INFO_BUF_SIZE = 102400,
    };

protected:
    void WriteData(char* pszData, uint32 iDataSize);
    FILE* OpenFile(const char* pszFileName, bool bCreate);
    FILE* OpenFirstFile();
    bool NeedRotate() const;
    sint32 Rotate();
    sint32 DailyRotate();
    sint32 FileSizeRotate();
    uint32 GetCurDay() const;
    void InitCurMaxFileIndex();
    const char* GetDateTimeStr();
    const char* GetDateStr();
    static uint32 MakeFileName(char* pszDstBuf, uint32 iDstBufSize, const char* pszFileName,
                               const char* pszDailyPostfix, uint32 iFileIndex);
    const char* MakeFileName(const char* pszFileName, const char* pszDailyPostfix, uint32 iFileIndex);
    void CloseSocket();

    bool m_bPrintLog;
    bool m_bFileLog;
    bool m_bImmediateFlush;
    char m_szFileName[FILE_NAME_BUF_SIZE];
    bool m_bRemoteLog;
    sint32 m_iSockFd;
    CInetAddr m_RemoteAddr;
    EFileLogRotateType m_nRotateType;
    uint32 m_iMaxFileSize;
    uint32 m_iMaxFileIndex;
    uint32 m_iCurMaxFileIndex;
    uint32 m_iLastDay;
    FILE* m_pFile;
    bool m_thread_safe;
    pthread_mutex_t m_log_mutex;

    static char s_szLogBuf[LOG_BUF_SIZE];
    static char s_szDateTime[DATE_TIME_BUF_SIZE];
    static char s_szFileNameBuf[FILE_NAME_BUF_SIZE];
    static char s_szMemHexInfoBuf[MEM_HEX_INFO_BUF_SIZE];
    static TimeSource s_pfnNow;

private:
    CLog(const CLog&) = delete;
    CLog& operator=(const CLog&) = delete;
};

class CErrLog : public CLog {
public:
    struct CLogLevelDef {
        sint32 iLevel;
        const char* pszComment;
    };

    CErrLog();
    ~CErrLog() override;

    void SetOutLevel(sint32 iLevel) { m_iOutLevel = iLevel; }
    sint32 GetOutLevel() const { return m_iOutLevel; }
    using CLog::IsEnable;
    bool IsEnable(sint32 iLevel) const;
    static const char* GetLevelInStr(sint32 iLevel);

    static const CLogLevelDef s_LogLevelDefs[5];

private:
    sint32 m_iOutLevel;
};

void MKDIR(char* path);
void MKPATH_FOR_FILE(const char* pszFilePath);

#endif
