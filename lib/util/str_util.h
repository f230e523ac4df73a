// Hex conversions, trimming, case conversion and the memory dump used by the
// logs. Nothing here allocates: every output goes into a caller's buffer whose
// size counts every byte the callee may write.
#ifndef ZQ_STR_UTIL_H
#define ZQ_STR_UTIL_H

#include <cstddef>

char htoa(int h);
int atoh(char c);

// -1 (nothing written) when the output cannot hold two digits per byte.
int BinBufToHexBuf(char* pHexBuf, size_t iHexBufSize, const unsigned char* pBinBuf, size_t iBinBufSize);
// As above plus a terminator.
int BinBufToHexStr(char* pszHexStrBuf, size_t iHexStrBufSize, const unsigned char* pBinBuf, size_t iBinBufSize);
// Decodes pairs; non-hex characters count as 0, an unpaired last one is ignored.
int BinBufFromHexBuf(unsigned char* pBinBuf, size_t iBinBufSize, const char* pHexBuf, size_t iHexBufSize);
int BinBufFromHexStr(unsigned char* pBinBuf, size_t iBinBufSize, const char* pszHexStr);
// Whether c is a hex digit, either case.
bool IsHexDigit(char c);
// The strict decoder for values that must be whole: exactly 2 * iBinBufSize
// hex digits (either case) and nothing else. 0, or -1 with pBinBuf
// unspecified.
int BinBufFromHexExact(unsigned char* pBinBuf, size_t iBinBufSize, const char* pHexBuf, size_t iHexBufSize);

// The one reader of a decimal number that a peer or a user typed: digits
// only, no sign, blank or leading zero ("0" itself excepted), at most iMax.
// 0 with *pOut set, or -1 with *pOut untouched.
int ParseDecimal(const char* pText, size_t iLen, unsigned long long iMax, unsigned long long* pOut);
// The same over a terminated string.
int ParseDecimal(const char* pszText, unsigned long long iMax, unsigned long long* pOut);

int trim(char* str);
// The destination needs iSrcStrSize + 1 bytes; source and destination may overlap.
void StrToUpper(char* pszDstStr, const char* pszSrcStr, size_t iSrcStrSize);
void StrToLower(char* pszDstStr, const char* pszSrcStr, size_t iSrcStrSize);

// Appends one printf-formatted piece at iLen, never writing past iBufSize;
// returns the new length (cut at the buffer's end).
unsigned int AppendPiece(char* pszBuf, unsigned int iBufSize, unsigned int iLen, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

// Formatted hex dump (address, 16 bytes a row, printable column). Never
// writes past iOutBufSize; returns the length written.
size_t GetMemHexInfo(char* pszOutBuf, size_t iOutBufSize, const void* pData, size_t iDataSize);

#endif
