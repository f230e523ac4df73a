#include "hashval.h"

std::string HashBytesToHex(const unsigned char* pData, unsigned int len) {
    static const char kDigits[] = "0123456789abcdef";
    std::string strHex;
    if (pData == nullptr) return strHex;
    strHex.reserve(2 * static_cast<size_t>(len));
    for (unsigned int i = 0; i < len; ++i) {
        strHex.push_back(kDigits[pData[i] >> 4]);
        strHex.push_back(kDigits[pData[i] & 0x0f]);
    }
    return strHex;
}
