#include "rc_download.h"

#include <cstdio>
#include <string>
#include <vector>

#include "rc_mirror_choice.h"
#include "rc_record_format.h"
#include "tpt_verify.h"

namespace {

std::string Base64(const unsigned char* p, size_t n) {
    static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        uint32 v = static_cast<uint32>(p[i]) << 16;
        if (i + 1 < n) v |= static_cast<uint32>(p[i + 1]) << 8;
        if (i + 2 < n) v |= p[i + 2];
        out += kDigits[(v >> 18) & 63];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < n ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < n ? kDigits[v & 63] : '=';
    }
    return out;
}

rc_http_reply_t NoneUsable() {
    rc_http_reply_t oReply = rc_http_error(503, "no usable location");
    oReply.Headers = "Retry-After: " + std::to_string(RC_DOWNLOAD_RETRY_AFTER_S) + "\r\n";
    return oReply;
}

// The length of the UTF-8 sequence at p (at most n bytes), 0 when broken.
size_t Utf8Length(const unsigned char* p, size_t n) {
    if (p[0] < 0x80) return 1;
    size_t iLen = p[0] >= 0xf0 && p[0] <= 0xf4 ? 4 : p[0] >= 0xe0 ? 3 : p[0] >= 0xc2 && p[0] < 0xe0 ? 2 : 0;
    if (iLen == 0 || iLen > n) return 0;
    for (size_t i = 1; i < iLen; ++i)
        if ((p[i] & 0xc0) != 0x80) return 0;
    // Overlong three-byte forms, surrogates and code points past U+10FFFF.
    if (iLen == 3 && ((p[0] == 0xe0 && p[1] < 0xa0) || (p[0] == 0xed && p[1] >= 0xa0))) return 0;
    if (iLen == 4 && ((p[0] == 0xf0 && p[1] < 0x90) || (p[0] == 0xf4 && p[1] >= 0x90))) return 0;
    return iLen;
}

}  // namespace

std::string rc_safe_url(const std::string& strUrl) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : strUrl) {
        if (c > 0x20 && c < 0x7f && c != '<' && c != '>' && c != '"' && c != '\'' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

std::string rc_safe_file_name(const std::string& strName, const Sha1Hash& oFid) {
    std::string out;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strName.data());
    for (size_t i = 0; i < strName.size();) {
        size_t iLen = Utf8Length(p + i, strName.size() - i);
        if (iLen == 0 || p[i] < 0x20 || p[i] == 0x7f || p[i] == '/' || p[i] == '\\' ||
            (iLen == 2 && p[i] == 0xc2 && p[i + 1] < 0xa0)) {
            out += '_';
            i += iLen == 0 ? 1 : iLen;
        } else {
            out.append(strName, i, iLen);
            i += iLen;
        }
    }
    if (out.empty() || out == "." || out == "..") return oFid.Hex();
    return out;
}

std::string rc_xml_escape(const std::string& strText) {
    std::string out;
    for (char c : strText) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&apos;"; break;
            default: out += c;
        }
    }
    return out;
}

rc_http_reply_t rc_download_reply(const rc_resource_t& oRes, std::mt19937& oRandom) {
    rc_mirror_choice_t oChoice = rc_choose_mirrors(oRes.Locations, oRandom);
    if (oChoice.Usable.empty()) return NoneUsable();
    const rc_location_t* pTo = oChoice.Usable.front();
    rc_http_reply_t oReply;
    oReply.Status = 302;
    oReply.Type = "text/plain";
    oReply.Headers = "Location: " + rc_safe_url(pTo->Url) + "\r\n";
    uint32 iPri = 1;
    for (const rc_location_t* p : oChoice.Ranged) {
        if (p == pTo) continue;
        if (iPri > RC_DOWNLOAD_DUPLICATES) break;
        oReply.Headers += "Link: <" + rc_safe_url(p->Url) + ">; rel=duplicate; pri=" + std::to_string(iPri++) + "\r\n";
    }
    oReply.Headers += "Link: </v1/resources/" + oRes.FID.Hex() +
                      "/metalink>; rel=describedby; type=\"application/metalink4+xml\"\r\n";
    oReply.Headers += "Digest: SHA=" + Base64(oRes.Hash.cVal, sizeof(oRes.Hash.cVal)) + "\r\n";
    // Each answer names another mirror: never to be kept by a cache.
    oReply.Headers += "Cache-Control: no-store\r\n";
    oReply.Body = rc_safe_url(pTo->Url) + "\n";
    return oReply;
}

rc_http_reply_t rc_metalink_reply(const rc_resource_t& oRes, std::mt19937& oRandom) {
    rc_mirror_choice_t oChoice = rc_choose_mirrors(oRes.Locations, oRandom);
    // A whole-file download from a mirror that ignores ranges still works
    // when nothing better is known.
    const std::vector<const rc_location_t*>& oUrls = oChoice.Ranged.empty() ? oChoice.Usable : oChoice.Ranged;
    if (oUrls.empty()) return NoneUsable();
    const std::string strName = rc_safe_file_name(oRes.Locations.empty() ? "" : oRes.Locations.front().FileName, oRes.FID);
    std::string x = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<metalink xmlns=\"urn:ietf:params:xml:ns:metalink\">\n";
    x += "  <published>" + rc_utc_text(oRes.FirstSeen) + "</published>\n";
    x += "  <file name=\"" + rc_xml_escape(strName) + "\">\n";
    x += "    <size>" + std::to_string(oRes.Size) + "</size>\n";
    x += "    <hash type=\"sha-1\">" + oRes.Hash.Hex() + "</hash>\n";
    tpt_table_t oTable;
    std::string strWhy;
    if (tpt_parse(oRes.Tpt.data(), oRes.Tpt.size(), oTable, strWhy) == 0 && oTable.Pieces > 0 &&
        oTable.Size == oRes.Size) {
        x += "    <pieces length=\"" + std::to_string(oTable.PieceSize) + "\" type=\"md5\">\n";
        for (uint32 i = 0; i < oTable.Pieces; ++i)
            x += "      <hash>" + Md5Hash(&oTable.Digests[static_cast<size_t>(i) * 16], 16).Hex() + "</hash>\n";
        x += "    </pieces>\n";
    }
    for (size_t i = 0; i < oUrls.size() && i < RC_METALINK_URLS; ++i)
        x += "    <url priority=\"" + std::to_string(i + 1) + "\">" + rc_xml_escape(rc_safe_url(oUrls[i]->Url)) +
             "</url>\n";
    x += "  </file>\n</metalink>\n";
    rc_http_reply_t oReply;
    oReply.Type = "application/metalink4+xml";
    oReply.Body = std::move(x);
    return oReply;
}
