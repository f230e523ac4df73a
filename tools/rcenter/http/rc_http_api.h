// CRcHttpApi: the HTTP API's answers from the running center. Look-ups run
// on the reading store thread, so no commit, checkpoint or lock of another
// process delays them; a removal goes through the write path, so it
// follows the reports received before it and leaves the store and the
// dedup cache together; the statistics and /metrics are answered at once
// from what the loop keeps (the store's counts as last read among them).
// Every other reply comes on the loop thread, from the store threads'
// completions. Borrows what it is given; loop thread only.
#ifndef ZQ_RC_HTTP_API_H
#define ZQ_RC_HTTP_API_H

#include <functional>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "rc_counts.h"
#include "rc_http.h"
#include "rc_resource_cache.h"
#include "rc_server_metrics.h"
#include "rc_store.h"
#include "rc_store_worker.h"
#include "rc_write_path.h"

enum : uint32 {
    // A record's JSON stops taking locations at this size (the next cursor
    // then says where to go on), so an answer stays well within what a peer
    // may leave unread; one location is always shown.
    RC_HTTP_RECORD_BUDGET = 2u * 1024 * 1024,
    // The download doors' resources: kept this long, in this many bytes.
    RC_HTTP_RESOURCE_CACHE_MS = 1000,
    RC_HTTP_RESOURCE_CACHE_BYTES = 32u * 1024 * 1024,
};

// The record's JSON with the page of locations it holds, cut to iBudget
// bytes (at least one location kept), and "next": the cursor of the next
// page or null. iNext is the store's cursor after the page as read.
std::string rc_http_record_page(const rc_resource_t& oRes, uint64 iNext, size_t iBudget);

class CRcHttpApi : public CRcHttpBackend {
public:
    // Look-ups (a hash's list among them) and counts go to oReader, lists and searches to oSearcher
    // (which may be the same worker), so a look-up never waits behind a search.
    CRcHttpApi(CRcStoreWorker& oReader, CRcStoreWorker& oSearcher, CRcWritePath& oWritePath,
               const rc_counts_t& oCounts, CRcServerMetrics& oMetrics)
        : m_oReader(oReader),
          m_oSearcher(oSearcher),
          m_oWritePath(oWritePath),
          m_counts(oCounts),
          m_oMetrics(oMetrics),
          m_oRandom(std::random_device()()),
          m_oResources(RC_HTTP_RESOURCE_CACHE_BYTES, RC_HTTP_RESOURCE_CACHE_MS),
          m_fnGeneration([&oWritePath] { return oWritePath.WritesDone(); }) {}

    // What counts the changes to the store the loop knows of (by default
    // this center's writes); the download doors' cache is emptied when it moves.
    void SetGeneration(std::function<uint64()> fnGeneration) { m_fnGeneration = std::move(fnGeneration); }

    void Lookup(const std::string& strFid, const rc_http_page_t& oPage, RcHttpReply fnReply) override;
    void PieceTable(const std::string& strFid, RcHttpReply fnReply) override;
    // From the first RC_STORE_PAGE_MAX locations of the resource.
    void Download(const std::string& strFid, RcHttpReply fnReply) override;
    void Metalink(const std::string& strFid, RcHttpReply fnReply) override;
    void Stats(RcHttpReply fnReply) override;
    void Remove(const std::string& strFid, RcHttpReply fnReply) override;
    // A hash's list (a look-up) on the reading store thread, the others on
    // the searching one.
    void List(const rc_list_request_t& oRequest, RcHttpReply fnReply) override;
    void Metrics(RcHttpReply fnReply) override;
    void Answered(unsigned int iStatus) override;

private:
    // Looks the FID up on the reading thread and answers with fnBody of
    // what was found, or the error.
    void FindAndAnswer(const std::string& strFid, const rc_http_page_t& oPage, RcHttpReply fnReply,
                       std::function<rc_http_reply_t(const rc_resource_t&, uint64)> fnBody);

    typedef std::function<rc_http_reply_t(const rc_resource_t&)> BodyOf;
    // The download doors: the resource from the cache, or read once for
    // every request that asks for it meanwhile.
    void AnswerFromCache(const std::string& strFid, RcHttpReply fnReply, BodyOf fnBody);

    CRcStoreWorker& m_oReader;
    CRcStoreWorker& m_oSearcher;
    CRcWritePath& m_oWritePath;
    const rc_counts_t& m_counts;
    CRcServerMetrics& m_oMetrics;
    std::mt19937 m_oRandom;  // which mirror a download goes to
    CRcResourceCache m_oResources;
    std::function<uint64()> m_fnGeneration;
    // Reads under way for the doors, by FID (hex), with who waits for them.
    std::unordered_map<std::string, std::vector<std::pair<RcHttpReply, BodyOf> > > m_oReading;
};

#endif
