#include "str_util.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

char htoa(int h) {
    if (h >= 0 && h <= 9) return static_cast<char>('0' + h);
    if (h >= 10 && h <= 15) return static_cast<char>('a' + h - 10);
    return '-';
}

int atoh(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

int ParseDecimal(const char* pText, size_t iLen, unsigned long long iMax, unsigned long long* pOut) {
    if (pText == nullptr || iLen == 0 || iLen > 20) return -1;
    if (pText[0] == '0' && iLen > 1) return -1;
    unsigned long long iValue = 0;
    for (size_t i = 0; i < iLen; ++i) {
        if (pText[i] < '0' || pText[i] > '9') return -1;
        unsigned int iDigit = static_cast<unsigned int>(pText[i] - '0');
        if (iDigit > iMax || iValue > (iMax - iDigit) / 10) return -1;
        iValue = iValue * 10 + iDigit;
    }
    *pOut = iValue;
    return 0;
}

int ParseDecimal(const char* pszText, unsigned long long iMax, unsigned long long* pOut) {
    if (pszText == nullptr) return -1;
    return ParseDecimal(pszText, strlen(pszText), iMax, pOut);
}

int BinBufToHexBuf(char* pHexBuf, size_t iHexBufSize, const unsigned char* pBinBuf, size_t iBinBufSize) {
    if (2 * iBinBufSize > iHexBufSize) return -1;
    for (size_t i = 0; i < iBinBufSize; ++i) {
        pHexBuf[2 * i] = htoa(pBinBuf[i] >> 4);
        pHexBuf[2 * i + 1] = htoa(pBinBuf[i] & 0x0f);
    }
    return static_cast<int>(2 * iBinBufSize);
}

int BinBufToHexStr(char* pszHexStrBuf, size_t iHexStrBufSize, const unsigned char* pBinBuf, size_t iBinBufSize) {
    if (2 * iBinBufSize + 1 > iHexStrBufSize) return -1;
    int n = BinBufToHexBuf(pszHexStrBuf, iHexStrBufSize, pBinBuf, iBinBufSize);
    pszHexStrBuf[n] = '\0';
    return n;
}

int BinBufFromHexBuf(unsigned char* pBinBuf, size_t iBinBufSize, const char* pHexBuf, size_t iHexBufSize) {
    if (2 * iBinBufSize < iHexBufSize) return -1;
    size_t pairs = iHexBufSize / 2;
    for (size_t i = 0; i < pairs; ++i) {
        pBinBuf[i] = static_cast<unsigned char>(atoh(pHexBuf[2 * i]) * 16 + atoh(pHexBuf[2 * i + 1]));
    }
    return static_cast<int>(pairs);
}

int BinBufFromHexStr(unsigned char* pBinBuf, size_t iBinBufSize, const char* pszHexStr) {
    return BinBufFromHexBuf(pBinBuf, iBinBufSize, pszHexStr, strlen(pszHexStr));
}

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

int BinBufFromHexExact(unsigned char* pBinBuf, size_t iBinBufSize, const char* pHexBuf, size_t iHexBufSize) {
    if (pHexBuf == nullptr || iHexBufSize != 2 * iBinBufSize) return -1;
    for (size_t i = 0; i < iBinBufSize; ++i) {
        if (!IsHexDigit(pHexBuf[2 * i]) || !IsHexDigit(pHexBuf[2 * i + 1])) return -1;
        pBinBuf[i] = static_cast<unsigned char>((atoh(pHexBuf[2 * i]) << 4) | atoh(pHexBuf[2 * i + 1]));
    }
    return 0;
}

static bool IsBlank(char c) { return isspace(static_cast<unsigned char>(c)) != 0; }

int trim(char* str) {
    if (str == nullptr) return 0;
    size_t len = strlen(str);
    size_t i = 0;
    while (i < len && IsBlank(str[i])) ++i;
    if (i == len) {
        str[0] = '\0';
        return 0;
    }
    size_t j = len - 1;
    while (j > i && IsBlank(str[j])) --j;
    size_t kept = j - i + 1;
    if (i > 0) memmove(str, str + i, kept);
    str[kept] = '\0';
    return 0;
}

template <int (*Conv)(int)>
static void ConvertCase(char* pszDst, const char* pszSrc, size_t n) {
    // Back to front when the destination starts inside the source, so an
    // overlapping shift still reads each character before overwriting it.
    if (pszSrc < pszDst && pszDst < pszSrc + n) {
        for (size_t i = n; i-- > 0;) pszDst[i] = static_cast<char>(Conv(static_cast<unsigned char>(pszSrc[i])));
    } else {
        for (size_t i = 0; i < n; ++i) pszDst[i] = static_cast<char>(Conv(static_cast<unsigned char>(pszSrc[i])));
    }
    pszDst[n] = '\0';
}

void StrToUpper(char* pszDstStr, const char* pszSrcStr, size_t iSrcStrSize) {
    ConvertCase<toupper>(pszDstStr, pszSrcStr, iSrcStrSize);
}

void StrToLower(char* pszDstStr, const char* pszSrcStr, size_t iSrcStrSize) {
    ConvertCase<tolower>(pszDstStr, pszSrcStr, iSrcStrSize);
}

unsigned int AppendPiece(char* pszBuf, unsigned int iBufSize, unsigned int iLen, const char* fmt, ...) {
    if (iLen + 1 >= iBufSize) return iLen;
    unsigned int iRoom = iBufSize - iLen;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(pszBuf + iLen, iRoom, fmt, ap);
    va_end(ap);
    if (n < 0) return iLen;
    return iLen + (static_cast<unsigned int>(n) < iRoom ? static_cast<unsigned int>(n) : iRoom - 1);
}

namespace {
// Appends one bounded piece; the dump is cut at the buffer's end, never past it.
struct HexDumpOut {
    char* buf;
    size_t size;
    size_t len;
    void Append(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (size == 0 || len >= size - 1) return;
        va_list ap;
        va_start(ap, fmt);
        int n = vsnprintf(buf + len, size - len, fmt, ap);
        va_end(ap);
        if (n < 0) return;
        len += static_cast<size_t>(n);
        if (len > size - 1) len = size - 1;
    }
    bool Full() const { return size == 0 || len >= size - 1; }
};
}  // namespace

size_t GetMemHexInfo(char* pszOutBuf, size_t iOutBufSize, const void* pData, size_t iDataSize) {
    if (pszOutBuf == nullptr || iOutBufSize == 0) return 0;
    pszOutBuf[0] = '\0';
    HexDumpOut out{pszOutBuf, iOutBufSize, 0};
    out.Append("\n----------  0  1  2  3  4  5  6  7  8  9  a  b  c  d  e  f   ----------------");
    const unsigned char* bytes = static_cast<const unsigned char*>(pData);
    size_t rows = (iDataSize + 15) / 16;
    for (size_t r = 0; r < rows && !out.Full(); ++r) {
        const unsigned char* row = bytes + r * 16;
        size_t n = iDataSize - r * 16;
        if (n > 16) n = 16;
        out.Append("\n%p  ", static_cast<const void*>(row));
        for (size_t i = 0; i < n; ++i) out.Append("%02x ", row[i]);
        for (size_t i = n; i < 16; ++i) out.Append("   ");
        out.Append(" ");
        for (size_t i = 0; i < n; ++i) out.Append("%c", isprint(row[i]) ? row[i] : '.');
    }
    out.Append("\n");
    return out.len;
}
