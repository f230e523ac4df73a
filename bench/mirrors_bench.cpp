// The mirror checks and the client's doors, measured:
//   mirrors_bench metalink           the Metalink of an 8,192-piece resource
//                                    (Google Benchmark), beside the same
//                                    record's JSON, with both sizes;
//   mirrors_bench checks DB N URL... N locations spread over the mirror URLs
//                                    (each made distinct by ?n=i) checked once
//                                    at the default limits: checks per second
//                                    and body bytes per check beside the piece
//                                    size (the bound);
//   mirrors_bench store DB FILE URL  a store holding FILE's record with URL as
//                                    a location found ok, for a center to
//                                    answer downloads from.
// scripts/bench_mirrors.sh runs all three with nginx mirrors and wrk.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "rc_checker.h"
#include "rc_digests.h"
#include "rc_download.h"
#include "rc_record.h"
#include "rc_record_format.h"
#include "rc_sqlite_store.h"
#include "report_wire.h"
#include "tpt_verify.h"

namespace {

// The resource and its location as the center stores a report of the file.
bool ResourceOf(const std::string& strFile, const std::string& strUrl, rc_resource_t& oRes, rc_location_t& oWhere) {
    rc_digests_t oDigests;
    if (compute_rc_digests(strFile, oDigests, rc_digest_opts(RC_DIGEST_ONE_PASS)) != RC_DIGESTS_OK) return false;
    RSInfo oInfo;
    fill_rc_info(oDigests, "clip.bin", strUrl, oInfo);
    DataBuf oBody;
    zq_head_t oHead;
    if (!pack_rc_request(oInfo, 1, oBody, oHead)) return false;
    rc_report_t oReport;
    if (rc_decode_report(reinterpret_cast<const unsigned char*>(oBody.GetBegPnt()), oBody.GetDataLen(), oReport) != 0)
        return false;
    rc_resource_of(oReport, oRes, oWhere);
    return true;
}

// A resource of 8,192 pieces (the most a table holds) with 100 ok mirrors,
// its table made up: only its shape matters here.
rc_resource_t BigResource() {
    rc_resource_t oRes;
    const uint32 iPieces = 8192;
    oRes.Size = static_cast<uint64>(iPieces) * 1024 * 1024;
    TPTFile oTable;
    std::vector<unsigned char> oDigests(iPieces * 16);
    for (size_t i = 0; i < oDigests.size(); ++i) oDigests[i] = static_cast<unsigned char>(i * 131 + 7);
    oTable.Makeup(oRes.Size, static_cast<int>(iPieces), 1024, oDigests.data(), oRes.Hash);
    const unsigned char* p = reinterpret_cast<const unsigned char*>(oTable.GetBegPnt());
    oRes.Tpt.assign(p, p + oTable.GetDataLen());
    for (int i = 0; i < 100; ++i) {
        rc_location_t oLoc;
        oLoc.Url = "http://mirror" + std::to_string(i) + ".example.org/pub/files/big-file.iso";
        oLoc.FileName = "big-file.iso";
        oLoc.Health.State = RC_HEALTH_OK;
        oLoc.Health.Ranges = RC_RANGES_YES;
        oRes.Locations.push_back(oLoc);
    }
    return oRes;
}

void BM_Metalink8192Pieces(benchmark::State& state) {
    const rc_resource_t oRes = BigResource();
    std::mt19937 oRandom(1);
    size_t iBytes = 0;
    tpt_table_t oTable;
    std::string strWhy;
    if (tpt_parse(oRes.Tpt.data(), oRes.Tpt.size(), oTable, strWhy) != 0) state.SkipWithError(strWhy.c_str());
    for (auto _ : state) {
        rc_http_reply_t oReply = rc_metalink_reply(oRes, oRandom);
        iBytes = oReply.Body.size();
        benchmark::DoNotOptimize(oReply.Body.data());
    }
    state.counters["bytes"] = static_cast<double>(iBytes);
}
BENCHMARK(BM_Metalink8192Pieces)->Unit(benchmark::kMillisecond);

// Baseline: the same record as the JSON of GET /v1/resources/<fid>.
void BM_RecordJsonSameResource(benchmark::State& state) {
    const rc_resource_t oRes = BigResource();
    size_t iBytes = 0;
    for (auto _ : state) {
        std::string strJson = rc_record_json(oRes, RC_RECORD_HEALTH);
        iBytes = strJson.size();
        benchmark::DoNotOptimize(strJson.data());
    }
    state.counters["bytes"] = static_cast<double>(iBytes);
}
BENCHMARK(BM_RecordJsonSameResource)->Unit(benchmark::kMillisecond);

int Fail(const std::string& strWhy) {
    fprintf(stderr, "mirrors_bench: %s\n", strWhy.c_str());
    return 1;
}

int Store(const std::string& strDb, const std::string& strFile, const std::string& strUrl) {
    rc_resource_t oRes;
    rc_location_t oWhere;
    if (!ResourceOf(strFile, strUrl, oRes, oWhere)) return Fail("cannot make the record of " + strFile);
    CRcSqliteStore oStore;
    std::string strError;
    std::vector<rc_report_outcome_t> oOutcomes;
    std::vector<rc_check_job_t> oJobs;
    if (oStore.Open(strDb, RC_STORE_WRITE, strError) != 0 ||
        oStore.Commit({{rc_store_report_t{oRes, oWhere, time(nullptr)}}, {}}, oOutcomes, strError) != 0 ||
        oStore.ClaimDue(time(nullptr), 10, 0, oJobs, strError) != 0)
        return Fail(strError);
    std::vector<rc_check_result_t> oOk;
    for (const rc_check_job_t& oJob : oJobs)
        oOk.push_back({oJob.LocationId, {RC_HEALTH_OK, time(nullptr), time(nullptr), 0, 1, RC_RANGES_YES}, 1LL << 40});
    if (oStore.RecordHealth(oOk, strError) != 0) return Fail(strError);
    printf("%s\n", oRes.FID.Hex().c_str());
    return 0;
}

int Checks(const std::string& strDb, uint32 iCount, const std::vector<std::string>& oUrls, const std::string& strFile) {
    CRcSqliteStore oWriter;
    std::string strError;
    if (oWriter.Open(strDb, RC_STORE_WRITE, strError) != 0) return Fail(strError);
    rc_store_batch_t oBatch;
    tpt_table_t oTable;
    for (uint32 i = 0; i < iCount; ++i) {
        rc_resource_t oRes;
        rc_location_t oWhere;
        if (i == 0 && !ResourceOf(strFile, oUrls[0], oRes, oWhere)) return Fail("cannot make the record of " + strFile);
        if (i == 0) {
            std::string strWhy;
            if (tpt_parse(oRes.Tpt.data(), oRes.Tpt.size(), oTable, strWhy) != 0) return Fail(strWhy);
            oBatch.Reports.push_back(rc_store_report_t{oRes, oWhere, 1});
        } else {
            oBatch.Reports.push_back(oBatch.Reports.front());
        }
        oBatch.Reports.back().Where.Url = oUrls[i % oUrls.size()] + "?n=" + std::to_string(i);
    }
    std::vector<rc_report_outcome_t> oOutcomes;
    if (oWriter.Commit(oBatch, oOutcomes, strError) != 0) return Fail(strError);
    CRcSqliteStore oHealth;
    if (oHealth.Open(strDb, RC_STORE_HEALTH, strError) != 0) return Fail(strError);
    rc_check_opts_t oOpts;  // the defaults, but for the loopback mirrors
    oOpts.Rule.Parse("127.0.0.0/8", strError);
    CRcChecker oChecker(oHealth, oOpts);
    const auto tStart = std::chrono::steady_clock::now();
    if (oChecker.Start(strError) != 0) return Fail(strError);
    uint64 iDone = 0;
    rc_check_figures_t oFigures;
    for (int i = 0; i < 6000 && iDone < iCount; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        oFigures = oChecker.Figures();
        iDone = 0;
        for (uint64 n : oFigures.Checks) iDone += n;
    }
    const double dSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
    oChecker.Stop();
    printf("checks: %llu of %u locations on %zu mirrors in %.2f s: %.0f checks/s at %u at once, %u per host\n",
           static_cast<unsigned long long>(iDone), iCount, oUrls.size(), dSeconds, iDone / dSeconds,
           oOpts.Concurrency, oOpts.PerHost);
    printf("checks: ok %llu, other states %llu\n", static_cast<unsigned long long>(oFigures.Checks[RC_HEALTH_OK]),
           static_cast<unsigned long long>(iDone - oFigures.Checks[RC_HEALTH_OK]));
    printf("checks: %.0f body bytes per check, the bound one piece = %llu bytes (ratio %.3f)\n",
           iDone == 0 ? 0.0 : static_cast<double>(oFigures.Bytes) / iDone,
           static_cast<unsigned long long>(oTable.PieceSize),
           iDone == 0 ? 0.0 : static_cast<double>(oFigures.Bytes) / iDone / oTable.PieceSize);
    return iDone == iCount ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && strcmp(argv[1], "store") == 0) {
        if (argc != 5) return Fail("usage: mirrors_bench store DB FILE URL");
        return Store(argv[2], argv[3], argv[4]);
    }
    if (argc >= 2 && strcmp(argv[1], "checks") == 0) {
        if (argc < 6) return Fail("usage: mirrors_bench checks DB N FILE URL...");
        return Checks(argv[2], static_cast<uint32>(atoi(argv[3])), std::vector<std::string>(argv + 5, argv + argc),
                      argv[4]);
    }
    if (argc >= 2 && strcmp(argv[1], "metalink") == 0) {
        argv[1] = argv[0];
        --argc;
        ++argv;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
