#include "sig_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/crypto.h>

#include <cerrno>
#include <cstring>

#include "str_util.h"

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Room for the digits and generous blanks; a longer file is not a key file.
const size_t kMaxKeyFile = 256;

}  // namespace

int SigParseSecret(const char* pszText, size_t iTextLen, unsigned char* pSecret, size_t iLen) {
    size_t iFrom = 0;
    while (iFrom < iTextLen && is_blank(pszText[iFrom])) ++iFrom;
    while (iTextLen > iFrom && is_blank(pszText[iTextLen - 1])) --iTextLen;
    return BinBufFromHexExact(pSecret, iLen, pszText + iFrom, iTextLen - iFrom) == 0 ? 0 : -1;
}

int SigReadKeyFile(const std::string& strPath, unsigned char* pSecret, size_t iLen, std::string& strError) {
    int fd = open(strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        int iErr = errno;
        strError = "cannot read the key file " + strPath + ": " + strerror(iErr);
        return iErr;
    }
    // Judged on the descriptor read, so the file cannot be swapped between
    // the check and the read.
    struct stat st;
    int iErr = 0;
    if (fstat(fd, &st) != 0) {
        iErr = errno;
        strError = "cannot read the key file " + strPath + ": " + strerror(iErr);
    } else if (!S_ISREG(st.st_mode)) {
        iErr = EINVAL;
        strError = "the key file " + strPath + " is not a regular file";
    } else if ((st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        iErr = EACCES;
        strError = "the key file " + strPath + " is readable by group or others (chmod 600 it)";
    }
    char szText[kMaxKeyFile + 1];
    size_t iHave = 0;
    while (iErr == 0 && iHave < sizeof(szText)) {
        ssize_t n = read(fd, szText + iHave, sizeof(szText) - iHave);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            iErr = errno;
            strError = "cannot read the key file " + strPath + ": " + strerror(iErr);
        }
        if (n <= 0) break;
        iHave += static_cast<size_t>(n);
    }
    close(fd);
    if (iErr == 0 && (iHave > kMaxKeyFile || SigParseSecret(szText, iHave, pSecret, iLen) != 0)) {
        iErr = EINVAL;
        strError = "the key file " + strPath + " does not hold " + std::to_string(2 * iLen) + " hex digits";
    }
    SigWipe(szText, sizeof(szText));
    return iErr;
}

void SigWipe(void* p, size_t n) { OPENSSL_cleanse(p, n); }
