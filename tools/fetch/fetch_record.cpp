#include "fetch_record.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>

namespace {

// Deep enough for the record's object, its locations array and their
// objects; anything nested deeper is not a record and is refused early.
const int kMaxDepth = 16;

struct json_value_t {
    enum EKind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } Kind = NUL;
    std::string Text;  // a string's value, or a number's digits
    std::vector<json_value_t> Items;
    std::map<std::string, json_value_t> Members;
};

class CJsonReader {
public:
    explicit CJsonReader(const std::string& strText) : m_strText(strText) {}

    bool ReadDocument(json_value_t& oValue) {
        if (!ReadValue(oValue, 0)) return false;
        SkipSpace();
        return m_uiPos == m_strText.size() || Fail("text after the object");
    }
    const std::string& Why() const { return m_strWhy; }

private:
    bool Fail(const char* pszWhy) {
        if (m_strWhy.empty()) m_strWhy = std::string(pszWhy) + " at byte " + std::to_string(m_uiPos);
        return false;
    }
    void SkipSpace() {
        while (m_uiPos < m_strText.size() && (m_strText[m_uiPos] == ' ' || m_strText[m_uiPos] == '\t' ||
                                              m_strText[m_uiPos] == '\n' || m_strText[m_uiPos] == '\r'))
            ++m_uiPos;
    }
    bool Literal(const char* pszWord) {
        std::string strWord(pszWord);
        if (m_strText.compare(m_uiPos, strWord.size(), strWord) != 0) return Fail("unknown word");
        m_uiPos += strWord.size();
        return true;
    }
    bool ReadValue(json_value_t& oValue, int iDepth) {
        if (iDepth > kMaxDepth) return Fail("nested too deep");
        SkipSpace();
        if (m_uiPos >= m_strText.size()) return Fail("unexpected end");
        char c = m_strText[m_uiPos];
        if (c == '{') return ReadObject(oValue, iDepth);
        if (c == '[') return ReadArray(oValue, iDepth);
        if (c == '"') {
            oValue.Kind = json_value_t::STRING;
            return ReadString(oValue.Text);
        }
        if (c == 't' || c == 'f') {
            oValue.Kind = json_value_t::BOOL;
            oValue.Text = c == 't' ? "true" : "false";
            return Literal(c == 't' ? "true" : "false");
        }
        if (c == 'n') {
            oValue.Kind = json_value_t::NUL;
            return Literal("null");
        }
        size_t uiStart = m_uiPos;
        while (m_uiPos < m_strText.size() && strchr("+-0123456789.eE", m_strText[m_uiPos]) != nullptr) ++m_uiPos;
        if (m_uiPos == uiStart) return Fail("not a JSON value");
        oValue.Kind = json_value_t::NUMBER;
        oValue.Text = m_strText.substr(uiStart, m_uiPos - uiStart);
        return true;
    }
    bool ReadObject(json_value_t& oValue, int iDepth) {
        oValue.Kind = json_value_t::OBJECT;
        ++m_uiPos;
        SkipSpace();
        if (m_uiPos < m_strText.size() && m_strText[m_uiPos] == '}') return ++m_uiPos, true;
        for (;;) {
            SkipSpace();
            std::string strKey;
            if (m_uiPos >= m_strText.size() || m_strText[m_uiPos] != '"') return Fail("a key expected");
            if (!ReadString(strKey)) return false;
            SkipSpace();
            if (m_uiPos >= m_strText.size() || m_strText[m_uiPos] != ':') return Fail("':' expected");
            ++m_uiPos;
            // A key given twice counts with its last value, never a mix of both.
            json_value_t& oMember = oValue.Members[strKey];
            oMember = json_value_t();
            if (!ReadValue(oMember, iDepth + 1)) return false;
            SkipSpace();
            if (m_uiPos < m_strText.size() && m_strText[m_uiPos] == ',') {
                ++m_uiPos;
                continue;
            }
            if (m_uiPos < m_strText.size() && m_strText[m_uiPos] == '}') return ++m_uiPos, true;
            return Fail("',' or '}' expected");
        }
    }
    bool ReadArray(json_value_t& oValue, int iDepth) {
        oValue.Kind = json_value_t::ARRAY;
        ++m_uiPos;
        SkipSpace();
        if (m_uiPos < m_strText.size() && m_strText[m_uiPos] == ']') return ++m_uiPos, true;
        for (;;) {
            oValue.Items.emplace_back();
            if (!ReadValue(oValue.Items.back(), iDepth + 1)) return false;
            SkipSpace();
            if (m_uiPos < m_strText.size() && m_strText[m_uiPos] == ',') {
                ++m_uiPos;
                continue;
            }
            if (m_uiPos < m_strText.size() && m_strText[m_uiPos] == ']') return ++m_uiPos, true;
            return Fail("',' or ']' expected");
        }
    }
    static void PutUtf8(std::string& strOut, unsigned long ulCode) {
        if (ulCode < 0x80) {
            strOut += static_cast<char>(ulCode);
        } else if (ulCode < 0x800) {
            strOut += static_cast<char>(0xC0 | (ulCode >> 6));
            strOut += static_cast<char>(0x80 | (ulCode & 0x3F));
        } else if (ulCode < 0x10000) {
            strOut += static_cast<char>(0xE0 | (ulCode >> 12));
            strOut += static_cast<char>(0x80 | ((ulCode >> 6) & 0x3F));
            strOut += static_cast<char>(0x80 | (ulCode & 0x3F));
        } else {
            strOut += static_cast<char>(0xF0 | (ulCode >> 18));
            strOut += static_cast<char>(0x80 | ((ulCode >> 12) & 0x3F));
            strOut += static_cast<char>(0x80 | ((ulCode >> 6) & 0x3F));
            strOut += static_cast<char>(0x80 | (ulCode & 0x3F));
        }
    }
    bool ReadHex4(unsigned long& ulCode) {
        if (m_uiPos + 4 > m_strText.size()) return Fail("short \\u escape");
        std::string strHex = m_strText.substr(m_uiPos, 4);
        char* pEnd = nullptr;
        ulCode = strtoul(strHex.c_str(), &pEnd, 16);
        if (pEnd != strHex.c_str() + 4) return Fail("bad \\u escape");
        m_uiPos += 4;
        return true;
    }
    bool ReadString(std::string& strOut) {
        ++m_uiPos;
        while (m_uiPos < m_strText.size()) {
            char c = m_strText[m_uiPos++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return Fail("control character in a string");
            if (c != '\\') {
                strOut += c;
                continue;
            }
            if (m_uiPos >= m_strText.size()) break;
            char e = m_strText[m_uiPos++];
            switch (e) {
                case '"': case '\\': case '/': strOut += e; break;
                case 'b': strOut += '\b'; break;
                case 'f': strOut += '\f'; break;
                case 'n': strOut += '\n'; break;
                case 'r': strOut += '\r'; break;
                case 't': strOut += '\t'; break;
                case 'u': {
                    unsigned long ulCode = 0;
                    if (!ReadHex4(ulCode)) return false;
                    // A surrogate pair stands for one code point above U+FFFF.
                    if (ulCode >= 0xD800 && ulCode < 0xDC00 && m_strText.compare(m_uiPos, 2, "\\u") == 0) {
                        m_uiPos += 2;
                        unsigned long ulLow = 0;
                        if (!ReadHex4(ulLow)) return false;
                        if (ulLow < 0xDC00 || ulLow > 0xDFFF) return Fail("bad surrogate pair");
                        ulCode = 0x10000 + ((ulCode - 0xD800) << 10) + (ulLow - 0xDC00);
                    }
                    PutUtf8(strOut, ulCode);
                    break;
                }
                default:
                    return Fail("unknown escape");
            }
        }
        return Fail("unterminated string");
    }

    const std::string& m_strText;
    size_t m_uiPos = 0;
    std::string m_strWhy;
};

const json_value_t* member(const json_value_t& oObject, const char* pszKey) {
    auto it = oObject.Members.find(pszKey);
    return it == oObject.Members.end() ? nullptr : &it->second;
}

}  // namespace

int fetch_parse_record(const std::string& strJson, fetch_record_t& oRecord, std::string& strWhy) {
    json_value_t oRoot;
    CJsonReader oReader(strJson);
    if (!oReader.ReadDocument(oRoot)) {
        strWhy = "not JSON: " + oReader.Why();
        return -1;
    }
    if (oRoot.Kind != json_value_t::OBJECT) {
        strWhy = "not a JSON object";
        return -1;
    }
    const json_value_t* pFid = member(oRoot, "fid");
    const json_value_t* pSize = member(oRoot, "size");
    const json_value_t* pLocations = member(oRoot, "locations");
    if (pFid == nullptr || pFid->Kind != json_value_t::STRING || pSize == nullptr ||
        pSize->Kind != json_value_t::NUMBER || pLocations == nullptr || pLocations->Kind != json_value_t::ARRAY) {
        strWhy = "no fid, size or locations in the record";
        return -1;
    }
    char* pEnd = nullptr;
    errno = 0;
    unsigned long long ullSize = strtoull(pSize->Text.c_str(), &pEnd, 10);
    if (errno != 0 || pSize->Text[0] == '-' || *pEnd != '\0') {
        strWhy = "a size that is not a whole number: " + pSize->Text;
        return -1;
    }
    oRecord.Fid = pFid->Text;
    oRecord.Size = ullSize;
    oRecord.Urls.clear();
    oRecord.Files.clear();
    for (const json_value_t& oLoc : pLocations->Items) {
        const json_value_t* pUrl = oLoc.Kind == json_value_t::OBJECT ? member(oLoc, "url") : nullptr;
        if (pUrl == nullptr || pUrl->Kind != json_value_t::STRING) {
            strWhy = "a location without a url";
            return -1;
        }
        const json_value_t* pFile = member(oLoc, "file");
        oRecord.Urls.push_back(pUrl->Text);
        oRecord.Files.push_back(pFile != nullptr && pFile->Kind == json_value_t::STRING ? pFile->Text : "");
    }
    // The cursor may come as a string or a number, and null on the last page.
    oRecord.Next.clear();
    for (const char* pszKey : {"next", "next_after", "next_cursor"}) {
        const json_value_t* pNext = member(oRoot, pszKey);
        if (pNext != nullptr && (pNext->Kind == json_value_t::STRING || pNext->Kind == json_value_t::NUMBER)) {
            oRecord.Next = pNext->Text;
            break;
        }
    }
    return 0;
}
