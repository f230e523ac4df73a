#include "pub_url.h"

#include "str_util.h"

namespace {

bool is_unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

const char kHexUpper[] = "0123456789ABCDEF";

}  // namespace

std::string pub_encode_segment(const std::string& strSegment) {
    std::string strOut;
    strOut.reserve(strSegment.size());
    for (unsigned char c : strSegment) {
        if (is_unreserved(c)) {
            strOut += static_cast<char>(c);
        } else {
            strOut += '%';
            strOut += kHexUpper[c >> 4];
            strOut += kHexUpper[c & 15];
        }
    }
    return strOut;
}

std::string pub_file_url(const std::string& strBase, const std::string& strRelPath) {
    std::string strUrl = strBase;
    if (strUrl.empty() || strUrl.back() != '/') strUrl += '/';
    std::string::size_type iStart = 0;
    while (true) {
        std::string::size_type iSlash = strRelPath.find('/', iStart);
        strUrl += pub_encode_segment(strRelPath.substr(iStart, iSlash == std::string::npos ? std::string::npos
                                                                                            : iSlash - iStart));
        if (iSlash == std::string::npos) break;
        strUrl += '/';
        iStart = iSlash + 1;
    }
    return strUrl;
}

int pub_parse_center(const std::string& strText, std::string& strHost, unsigned short& uPort, std::string& strWhy) {
    std::string::size_type iColon;
    if (!strText.empty() && strText[0] == '[') {
        std::string::size_type iClose = strText.find(']');
        if (iClose == std::string::npos || iClose == 1) {
            strWhy = "a bracketed IPv6 address needs its closing ']' and an address inside";
            return -1;
        }
        if (iClose + 1 >= strText.size() || strText[iClose + 1] != ':') {
            strWhy = "HOST:PORT expected after the ']'";
            return -1;
        }
        strHost = strText.substr(1, iClose - 1);
        iColon = iClose + 1;
    } else {
        iColon = strText.rfind(':');
        if (iColon == std::string::npos || iColon == 0) {
            strWhy = "HOST:PORT expected";
            return -1;
        }
        strHost = strText.substr(0, iColon);
        if (strHost.find(':') != std::string::npos) {
            strWhy = "an IPv6 address goes in brackets: [ADDRESS]:PORT";
            return -1;
        }
    }
    unsigned long long iPort = 0;
    std::string strPort = strText.substr(iColon + 1);
    if (ParseDecimal(strPort.c_str(), 65535, &iPort) != 0 || iPort == 0) {
        strWhy = "the port is a number from 1 to 65535";
        return -1;
    }
    uPort = static_cast<unsigned short>(iPort);
    return 0;
}

std::string pub_printable(const std::string& strText) {
    std::string strOut;
    strOut.reserve(strText.size());
    for (unsigned char c : strText) {
        if (c < 0x20 || c == 0x7f) {
            strOut += "\\x";
            strOut += kHexUpper[c >> 4];
            strOut += kHexUpper[c & 15];
        } else if (c == '\\') {
            strOut += "\\\\";
        } else {
            strOut += static_cast<char>(c);
        }
    }
    return strOut;
}
