#include "fetch_record.h"

#include <nlohmann/json.hpp>

namespace {

// Deep enough for the record's object, its locations array and their
// objects; a deeper answer is not a record, and is refused before the
// parser builds it.
const int kMaxDepth = 16;

bool too_deep(const std::string& strJson) {
    int iDepth = 0;
    bool bInString = false;
    for (size_t i = 0; i < strJson.size(); ++i) {
        const char c = strJson[i];
        if (bInString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                bInString = false;
            }
        } else if (c == '"') {
            bInString = true;
        } else if (c == '{' || c == '[') {
            if (++iDepth > kMaxDepth) return true;
        } else if (c == '}' || c == ']') {
            --iDepth;
        }
    }
    return false;
}

}  // namespace

int fetch_parse_record(const std::string& strJson, fetch_record_t& oRecord, std::string& strWhy) {
    if (too_deep(strJson)) {
        strWhy = "not a record: nested too deep";
        return -1;
    }
    const nlohmann::json oRoot = nlohmann::json::parse(strJson, nullptr, false);
    if (oRoot.is_discarded()) {
        strWhy = "not JSON";
        return -1;
    }
    if (!oRoot.is_object()) {
        strWhy = "not a JSON object";
        return -1;
    }
    auto itFid = oRoot.find("fid");
    auto itSize = oRoot.find("size");
    auto itLocations = oRoot.find("locations");
    if (itFid == oRoot.end() || !itFid->is_string() || itSize == oRoot.end() || !itSize->is_number() ||
        itLocations == oRoot.end() || !itLocations->is_array()) {
        strWhy = "no fid, size or locations in the record";
        return -1;
    }
    if (!itSize->is_number_unsigned()) {
        strWhy = "a size that is not a whole number: " + itSize->dump();
        return -1;
    }
    oRecord.Fid = itFid->get<std::string>();
    oRecord.Size = itSize->get<uint64>();
    oRecord.Urls.clear();
    oRecord.Files.clear();
    oRecord.Ranks.clear();
    for (const nlohmann::json& oLoc : *itLocations) {
        auto itUrl = oLoc.is_object() ? oLoc.find("url") : oLoc.end();
        if (!oLoc.is_object() || itUrl == oLoc.end() || !itUrl->is_string()) {
            strWhy = "a location without a url";
            return -1;
        }
        auto itFile = oLoc.find("file");
        oRecord.Urls.push_back(itUrl->get<std::string>());
        oRecord.Files.push_back(itFile != oLoc.end() && itFile->is_string() ? itFile->get<std::string>() : "");
        int iRank = FETCH_RANK_UNKNOWN;
        auto itHealth = oLoc.find("health");
        if (itHealth != oLoc.end() && itHealth->is_object()) {
            auto itState = itHealth->find("state");
            auto itRanges = itHealth->find("ranges");
            const std::string strState = itState != itHealth->end() && itState->is_string() ? itState->get<std::string>() : "";
            if (strState == "wrong_content" || strState == "missing" || strState == "unreachable") {
                iRank = FETCH_RANK_UNUSABLE;
            } else if (strState == "ok") {
                iRank = itRanges != itHealth->end() && itRanges->is_boolean() && !itRanges->get<bool>() ? FETCH_RANK_WHOLE
                                                                                                     : FETCH_RANK_GOOD;
            }
        }
        oRecord.Ranks.push_back(iRank);
    }
    // The cursor of the next page, null on the last.
    oRecord.Next.clear();
    auto itNext = oRoot.find("next");
    if (itNext != oRoot.end() && !itNext->is_null()) {
        if (!itNext->is_number_unsigned()) {
            strWhy = "a next cursor that is not a whole number";
            return -1;
        }
        oRecord.Next = std::to_string(itNext->get<uint64>());
    }
    return 0;
}

std::string fetch_printable(const std::string& strText) {
    static const char kHex[] = "0123456789abcdef";
    std::string strOut;
    for (char c : strText) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f || c == '\\') {
            strOut += c == '\\' ? "\\\\" : std::string("\\x") + kHex[u >> 4] + kHex[u & 15];
        } else {
            strOut += c;
        }
    }
    return strOut;
}

bool fetch_usable_name(const std::string& strName) {
    if (strName.empty() || strName == "." || strName == ".." || strName[0] == '.' || strName[0] == '-') return false;
    if (strName.find('/') != std::string::npos || strName.find("\xef\xbf\xbd") != std::string::npos) return false;
    for (char c : strName) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) return false;
    }
    return true;
}
