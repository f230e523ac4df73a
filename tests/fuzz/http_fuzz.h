// zq_rcenter's HTTP API (CRcHttpConn) over arbitrary bytes from a client.
// The first byte chooses whether signing is configured and how the rest, one
// connection's stream, is cut; the stream is fed whole to one connection and
// in those cuts to another, each over its own store. Both must give the same
// bytes, state and store; the output must be whole answers, one per request
// answered, each with a Content-Type and an exact Content-Length, JSON except
// a piece table, the metrics and the page's files (which carry their policy),
// "Connection: close" exactly on the last when the connection ends; every
// answer's status is told to the backend once; and without a secret nothing
// is ever removed.
#ifndef ZQ_HTTP_FUZZ_H
#define ZQ_HTTP_FUZZ_H

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_harness.h"
#include "rc_http.h"
#include "rc_removal_tokens.h"

namespace zqfuzz {

// A store of records kept in a map; fail makes every call fail with it.
// Replies come at once, or with defer set, when Release is called.
class MapBackend : public CRcHttpBackend {
public:
    void Add(const std::string& strFid, const std::string& strJson, const std::string& strTable) {
        records[strFid] = std::make_pair(strJson, strTable);
    }
    void Lookup(const std::string& strFid, const rc_http_page_t& oPage, RcHttpReply fnReply) override {
        pages.push_back(oPage);
        std::string strJson;
        std::string strReason;
        const int iErr = Find(strFid, strReason, &strJson, nullptr);
        Reply(fnReply, iErr, strJson, strReason);
    }
    void PieceTable(const std::string& strFid, RcHttpReply fnReply) override {
        std::string strTable;
        std::string strReason;
        const int iErr = Find(strFid, strReason, nullptr, &strTable);
        Reply(fnReply, iErr, strTable, strReason, "application/octet-stream");
    }
    void Stats(RcHttpReply fnReply) override {
        std::string strReason;
        if (fail != 0) {
            const int iErr = Failed(strReason);
            Reply(fnReply, iErr, "", strReason);
            return;
        }
        Reply(fnReply, 0, "{\"resources\": " + std::to_string(records.size()) + "}", "");
    }
    void Remove(const std::string& strFid, RcHttpReply fnReply) override {
        std::string strReason;
        const int iErr = Find(strFid, strReason, nullptr, nullptr);
        if (iErr == 0) {
            records.erase(strFid);
            ++removes;
        }
        Reply(fnReply, iErr, iErr == 0 ? "{\"removed\": \"" + strFid + "\"}" : "", strReason);
    }
    void Metrics(RcHttpReply fnReply) override {
        rc_http_reply_t oReply;
        oReply.Type = "text/plain; version=0.0.4; charset=utf-8";
        oReply.Body = "# TYPE zq_up gauge\nzq_up 1\n";
        fnReply(oReply);
    }
    void Answered(unsigned int iStatus) override { answered.push_back(iStatus); }
    // Gives the deferred replies, oldest first; their number.
    size_t Release() {
        std::vector<std::function<void()> > oNow;
        oNow.swap(deferred);
        for (auto& fn : oNow) fn();
        return oNow.size();
    }

    // Every record, newest FID first, unpaged: the connection's side of a
    // list is what is tested here, not the store's.
    void List(const rc_list_request_t& oRequest, RcHttpReply fnReply) override {
        std::string strReason;
        if (fail != 0) {
            const int iErr = Failed(strReason);
            Reply(fnReply, iErr, "", strReason);
            return;
        }
        lists.push_back(oRequest);
        std::string strJson = "{\"resources\": [";
        for (auto it = records.rbegin(); it != records.rend(); ++it)
            strJson += std::string(it == records.rbegin() ? "" : ", ") + it->second.first;
        Reply(fnReply, 0, strJson + "], \"next\": null}", "");
    }

    std::map<std::string, std::pair<std::string, std::string> > records;
    std::vector<rc_list_request_t> lists;
    int fail = 0;
    int removes = 0;
    bool defer = false;
    std::vector<std::function<void()> > deferred;
    std::vector<rc_http_page_t> pages;
    std::vector<unsigned int> answered;  // statuses, as told

private:
    // The answer a store gives for an outcome: unknown FID, a bad request,
    // its own failure, or the text.
    static rc_http_reply_t ReplyOf(int iErr, const std::string& strText, const std::string& strReason,
                                 const char* pszType) {
        if (iErr == ENOENT) return rc_http_error(404, "unknown FID");
        if (iErr == EINVAL) return rc_http_error(400, strReason);
        if (iErr == ENOTSUP) return rc_http_error(501, "not supported by this store");
        if (iErr != 0) return rc_http_error(500, "internal error");
        rc_http_reply_t oReply = rc_http_json(200, strText);
        if (pszType != nullptr) {
            oReply.Type = pszType;
            oReply.Body = strText;
        }
        return oReply;
    }
    void Reply(const RcHttpReply& fnReply, int iErr, const std::string& strText, const std::string& strReason,
               const char* pszType = nullptr) {
        const rc_http_reply_t oReply = ReplyOf(iErr, strText, strReason, pszType);
        if (!defer) {
            fnReply(oReply);
            return;
        }
        deferred.push_back([fnReply, oReply] { fnReply(oReply); });
    }
    int Failed(std::string& strReason) {
        strReason = "store \"down\"";
        return fail;
    }
    int Find(const std::string& strFid, std::string& strReason, std::string* pJson, std::string* pTable) {
        if (fail != 0) return Failed(strReason);
        auto it = records.find(strFid);
        if (it == records.end()) return ENOENT;
        if (pJson != nullptr) *pJson = it->second.first;
        if (pTable != nullptr) *pTable = it->second.second;
        return 0;
    }
};

struct HttpAnswer {
    unsigned int status = 0;
    std::map<std::string, std::string> headers;
    std::string body;
};

// Splits an output stream into answers; false when it is not whole answers.
inline bool ParseAnswers(const std::string& strOut, std::vector<HttpAnswer>& answers) {
    answers.clear();
    size_t pos = 0;
    while (pos < strOut.size()) {
        const size_t end = strOut.find("\r\n\r\n", pos);
        if (end == std::string::npos || end - pos < 13 || strOut.compare(pos, 9, "HTTP/1.1 ") != 0) return false;
        HttpAnswer answer;
        for (size_t i = pos + 9; i < pos + 12; ++i) {
            if (strOut[i] < '0' || strOut[i] > '9') return false;
            answer.status = answer.status * 10 + static_cast<unsigned int>(strOut[i] - '0');
        }
        size_t line = strOut.find("\r\n", pos) + 2;
        while (line < end + 2) {
            const size_t next = strOut.find("\r\n", line);
            const size_t colon = strOut.find(": ", line);
            if (colon == std::string::npos || colon > next) return false;
            answer.headers[strOut.substr(line, colon - line)] = strOut.substr(colon + 2, next - colon - 2);
            line = next + 2;
        }
        const std::string& length = answer.headers["Content-Length"];
        if (length.empty() || length.size() > 6 || length.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const size_t bodyLen = std::stoul(length);
        if (strOut.size() - end - 4 < bodyLen) return false;
        answer.body = strOut.substr(end + 4, bodyLen);
        pos = end + 4 + bodyLen;
        answers.push_back(answer);
    }
    return true;
}

namespace httpdetail {

const time_t kNow = 1765000000;
// The fixed secret, bytes i * 7: "00070e151c232a31383f464d545b6269".
inline rc_http_signing_t Signing(bool bSecret) {
    rc_http_signing_t signing;
    signing.HasSecret = bSecret;
    for (size_t i = 0; i < SIG_SECRET_LEN; ++i) signing.Secret[i] = static_cast<unsigned char>(i * 7);
    return signing;
}

inline void Seed(MapBackend& backend) {
    backend.Add("0123456789abcdef0123456789abcdef01234567", "{\"fid\": 1}", std::string("TPT\0\x04", 5));
    backend.Add("89abcdef0123456789abcdef0123456789abcdef", "{\"fid\": 2}", "T2");
}

inline int CheckAnswers(const std::string& out, const CRcHttpConn& conn, const MapBackend& store) {
    std::vector<HttpAnswer> answers;
    ZQ_FUZZ_CHECK(ParseAnswers(out, answers));
    ZQ_FUZZ_CHECK(answers.size() == conn.GetAnswered());
    ZQ_FUZZ_CHECK(store.answered.size() == answers.size());
    for (size_t i = 0; i < answers.size(); ++i) {
        HttpAnswer& answer = answers[i];
        ZQ_FUZZ_CHECK(answer.status >= 200 && answer.status < 600);
        ZQ_FUZZ_CHECK(store.answered[i] == answer.status);
        const std::string& type = answer.headers["Content-Type"];
        if (type == "application/octet-stream" || type == "text/plain; version=0.0.4; charset=utf-8") {
            ZQ_FUZZ_CHECK(answer.status == 200);
        } else if (type.compare(0, 5, "text/") == 0) {
            // One of the page's own files, never without its policy.
            ZQ_FUZZ_CHECK(answer.status == 200 && answer.headers.count("Content-Security-Policy") != 0);
        } else {
            ZQ_FUZZ_CHECK(type == "application/json");
            ZQ_FUZZ_CHECK(answer.body.size() >= 3 && answer.body[0] == '{' &&
                          answer.body.compare(answer.body.size() - 2, 2, "}\n") == 0);
        }
        const bool last = i + 1 == answers.size() && conn.GetState() == RC_HTTP_CLOSE;
        ZQ_FUZZ_CHECK((answer.headers.count("Connection") != 0 && answer.headers["Connection"] == "close") == last);
    }
    ZQ_FUZZ_CHECK(conn.GetState() == RC_HTTP_OPEN || !answers.empty());
    return 0;
}

}  // namespace httpdetail

inline int HttpFuzz(const uint8_t* data, size_t size) {
    using namespace httpdetail;
    ByteReader in(data, size);
    const uint8_t mode = in.Byte();
    const std::string stream = in.Rest();
    const rc_http_signing_t signing = Signing((mode & 1) != 0);
    // Each side remembers its own used tokens, as each has its own store.
    rc_http_signing_t wholeSigning = signing;
    rc_http_signing_t cutSigning = signing;
    CRcRemovalTokens wholeTokens(signing.WindowS);
    CRcRemovalTokens cutTokens(signing.WindowS);
    wholeSigning.Tokens = &wholeTokens;
    cutSigning.Tokens = &cutTokens;

    MapBackend wholeStore;
    Seed(wholeStore);
    CRcHttpConn whole(wholeStore, wholeSigning);
    std::string wholeOut;
    const ERcHttpState wholeState = whole.Feed(stream.data(), stream.size(), kNow, wholeOut);
    ZQ_FUZZ_CHECK(wholeState == whole.GetState());

    // Cuts of 1 to 2^k bytes, k from the mode byte, lengths from a small LCG.
    MapBackend cutStore;
    Seed(cutStore);
    CRcHttpConn cut(cutStore, cutSigning);
    std::string cutOut;
    const uint32_t span = 1u << ((mode >> 1) % 12);
    uint32_t lcg = mode;
    for (size_t pos = 0; pos < stream.size();) {
        lcg = lcg * 1103515245u + 12345u;
        const size_t take = std::min<size_t>(stream.size() - pos, 1 + (lcg >> 8) % span);
        cut.Feed(stream.data() + pos, take, kNow, cutOut);
        pos += take;
    }
    ZQ_FUZZ_CHECK(cutOut == wholeOut);
    ZQ_FUZZ_CHECK(cut.GetState() == wholeState && cut.GetAnswered() == whole.GetAnswered());
    ZQ_FUZZ_CHECK(cutStore.records == wholeStore.records);
    ZQ_FUZZ_CHECK(cutTokens.Size() == wholeTokens.Size());
    if (!signing.HasSecret) ZQ_FUZZ_CHECK(wholeStore.removes == 0);
    return CheckAnswers(wholeOut, whole, wholeStore);
}

}  // namespace zqfuzz

#endif
