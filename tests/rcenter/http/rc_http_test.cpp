// zq_rcenter's HTTP API through its parser, with a store kept in a map: each
// endpoint and status, the signed removal, and a connection's bytes however
// they are cut, pipelined or garbled.
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fuzz_replay.h"
#include "http_fuzz.h"
#include "rc_http.h"
#include "rc_removal_tokens.h"
#include "req_sig.h"

namespace {

const std::string kFid = "0123456789abcdef0123456789abcdef01234567";
const std::string kOther = "89abcdef0123456789abcdef0123456789abcdef";
const time_t kNow = 1765000000;

typedef zqfuzz::HttpAnswer Response;

std::vector<Response> Responses(const std::string& out) {
    std::vector<Response> all;
    EXPECT_TRUE(zqfuzz::ParseAnswers(out, all)) << out;
    return all;
}

class HttpFixture : public ::testing::Test {
protected:
    HttpFixture() {
        backend.Add(kFid, "{\"fid\": \"" + kFid + "\"}", std::string("TPT\0\x04", 5));
        backend.Add(kOther, "{\"fid\": \"" + kOther + "\"}", "T2");
        for (size_t i = 0; i < SIG_SECRET_LEN; ++i) signing.Secret[i] = static_cast<unsigned char>(i * 7);
        signing.HasSecret = true;
    }

    // Feeds the whole text at once; one answer expected.
    Response One(const std::string& request, ERcHttpState want = RC_HTTP_OPEN) {
        CRcHttpConn conn(backend, signing);
        std::string out;
        EXPECT_EQ(want, conn.Feed(request.data(), request.size(), kNow, out)) << request;
        std::vector<Response> all = Responses(out);
        EXPECT_EQ(1u, all.size()) << out;
        return all.empty() ? Response() : all[0];
    }

    std::string Token(const std::string& fid, uint32 user, time_t when) {
        stSigFields fields = {};
        fields.Time = static_cast<uint32>(when);
        fields.User = user;
        std::string token;
        EXPECT_EQ(0, SigMint(signing.Secret, fields, "/v1/resources/" + fid + "/remove", token));
        return token;
    }

    static std::string Post(const std::string& path, const std::string& body,
                            const std::string& type = "application/x-www-form-urlencoded; charset=utf-8") {
        return "POST " + path + " HTTP/1.1\r\nHost: x\r\nContent-Type: " + type +
               "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    zqfuzz::MapBackend backend;
    rc_http_signing_t signing;
};

}  // namespace

TEST_F(HttpFixture, EachGetEndpointAnswersWithItsStatusAndType) {
    Response r = One("GET /v1/resources/" + kFid + " HTTP/1.1\r\n\r\n");
    EXPECT_EQ(200u, r.status);
    EXPECT_EQ("application/json", r.headers["Content-Type"]);
    EXPECT_EQ("{\"fid\": \"" + kFid + "\"}\n", r.body);

    r = One("GET /v1/resources/0123456789ABCDEF0123456789ABCDEF01234567/tpt?x=1 HTTP/1.1\r\n\r\n");
    EXPECT_EQ(200u, r.status);
    EXPECT_EQ("application/octet-stream", r.headers["Content-Type"]);
    EXPECT_EQ(std::string("TPT\0\x04", 5), r.body);

    r = One("GET /v1/stats HTTP/1.1\r\n\r\n");
    EXPECT_EQ(200u, r.status);
    EXPECT_EQ("{\"resources\": 2}\n", r.body);

    EXPECT_EQ(404u, One("GET /v1/resources/" + std::string(40, 'e') + " HTTP/1.1\r\n\r\n").status);
    EXPECT_EQ(400u, One("GET /v1/resources/" + kFid + "0/tpt HTTP/1.1\r\n\r\n").status);
    EXPECT_EQ(400u, One("GET /v1/resources/" + std::string(39, 'e') + "g HTTP/1.1\r\n\r\n").status);
    r = One("GET /v1/resources/" + kFid + "/other HTTP/1.1\r\n\r\n");
    EXPECT_EQ(404u, r.status);
    EXPECT_EQ("application/json", r.headers["Content-Type"]);
    EXPECT_EQ(404u, One("GET /v2 HTTP/1.1\r\n\r\n").status);
    backend.fail = EIO;
    r = One("GET /v1/stats HTTP/1.1\r\n\r\n");
    EXPECT_EQ(500u, r.status);
    // The store's own words are for the log, not the client.
    EXPECT_EQ("{\"error\": \"internal error\"}\n", r.body);
}

TEST_F(HttpFixture, MethodsAndFramingsOutsideTheRulesAreRefused) {
    Response r = One("PUT /v1/stats HTTP/1.1\r\nContent-Length: 2\r\n\r\nab");
    EXPECT_EQ(405u, r.status);
    EXPECT_EQ("GET", r.headers["Allow"]);
    EXPECT_EQ("POST", One("GET /v1/resources/" + kFid + "/remove HTTP/1.1\r\n\r\n").headers["Allow"]);
    EXPECT_EQ("GET", One(Post("/v1/resources/" + kFid, "")).headers["Allow"]);

    r = One("POST /v1/resources/" + kFid + "/remove HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
            RC_HTTP_CLOSE);
    EXPECT_EQ(411u, r.status);
    EXPECT_EQ("close", r.headers["Connection"]);
    EXPECT_EQ(411u, One("POST /v1/stats HTTP/1.1\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
                        RC_HTTP_CLOSE).status);
    EXPECT_EQ(411u, One("POST /v1/stats HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", RC_HTTP_CLOSE).status);
    EXPECT_EQ(400u, One("POST /v1/stats HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc",
                        RC_HTTP_CLOSE).status);
    EXPECT_EQ(413u, One(Post("/v1/resources/" + kFid + "/remove", std::string(8193, 'a')), RC_HTTP_CLOSE).status);
    EXPECT_EQ(400u, One(Post("/v1/resources/" + kFid + "/remove", std::string(8192, 'a'))).status);

    // A head of exactly 8 KiB is read; one byte more is refused.
    const std::string start = "GET /v1/stats HTTP/1.1\r\nX: ";
    const std::string fill(RC_HTTP_MAX_HEAD - start.size() - 4, 'v');
    EXPECT_EQ(200u, One(start + fill + "\r\n\r\n").status);
    EXPECT_EQ(431u, One(start + fill + "v\r\n\r\n", RC_HTTP_CLOSE).status);
}

TEST_F(HttpFixture, ASignedRemovalForgetsTheResourceAndABadOneChangesNothing) {
    const std::string path = "/v1/resources/" + kFid + "/remove";
    const std::string good = "user=9&sig=" + Token(kFid, 9, kNow - 100);
    std::string flipped = good;
    flipped.back() = flipped.back() == '0' ? '1' : '0';
    struct {
        std::string request;
        unsigned int status;
        const char* reason;
    } refused[] = {
        {Post(path, good, "text/plain"), 415, nullptr},
        {Post(path, good, ""), 415, nullptr},
        {Post(path, good + "%zz"), 400, "{\"error\": \"malformed form: invalid escape\"}\n"},
        {Post(path, "user=9"), 400, nullptr},
        {Post(path, "user=nine&sig=" + Token(kFid, 9, kNow)), 400, nullptr},
        {Post(path, flipped), 403, "{\"error\": \"authentication failed\"}\n"},
        {Post(path, "user=9&sig=" + Token(kOther, 9, kNow)), 403, "{\"error\": \"authentication failed\"}\n"},
        {Post(path, "user=8&sig=" + Token(kFid, 9, kNow)), 403, "{\"error\": \"wrong user\"}\n"},
        {Post(path, "user=9&sig=" + Token(kFid, 9, kNow - 301)), 403, "{\"error\": \"stale\"}\n"},
        {Post(path, "user=9&sig=abc"), 403, "{\"error\": \"bad length\"}\n"},
    };
    for (const auto& c : refused) {
        Response r = One(c.request);
        EXPECT_EQ(c.status, r.status) << c.request;
        if (c.reason != nullptr) {
            EXPECT_EQ(c.reason, r.body);
        }
    }
    EXPECT_EQ(0, backend.removes);

    // A name given twice is refused, whichever one a reader would take.
    EXPECT_EQ(400u, One(Post(path, good + "&user=10")).status);
    Response r = One(Post(path, good));
    EXPECT_EQ(200u, r.status);
    EXPECT_EQ("{\"removed\": \"" + kFid + "\"}\n", r.body);
    EXPECT_EQ(404u, One("GET /v1/resources/" + kFid + " HTTP/1.1\r\n\r\n").status);
    EXPECT_EQ(404u, One(Post(path, good)).status);

    signing.HasSecret = false;
    r = One(Post("/v1/resources/" + kOther + "/remove", "user=9&sig=" + Token(kOther, 9, kNow)));
    EXPECT_EQ(403u, r.status);
    EXPECT_EQ("{\"error\": \"signing not configured\"}\n", r.body);
    EXPECT_EQ(1, backend.removes);
}

TEST_F(HttpFixture, PipelinedRequestsAreAnsweredInOrderHoweverTheBytesAreCut) {
    const std::string stream = "GET /v1/stats HTTP/1.1\r\n\r\n" + Post("/v1/stats", "") +
                               "GET /v1/resources/" + kOther + "/tpt HTTP/1.1\r\n\r\n" +
                               "GET /v1/resources/" + kFid + " HTTP/1.1\r\nConnection: close\r\n\r\n" +
                               "GET /v1/stats HTTP/1.1\r\n\r\n";
    CRcHttpConn whole(backend, signing);
    std::string out;
    EXPECT_EQ(RC_HTTP_CLOSE, whole.Feed(stream.data(), stream.size(), kNow, out));
    std::vector<Response> all = Responses(out);
    ASSERT_EQ(4u, all.size());
    EXPECT_EQ(200u, all[0].status);
    EXPECT_EQ(405u, all[1].status);
    EXPECT_EQ("T2", all[2].body);
    EXPECT_EQ("close", all[3].headers["Connection"]);

    CRcHttpConn bytes(backend, signing);
    std::string byByte;
    for (char c : stream) bytes.Feed(&c, 1, kNow, byByte);
    EXPECT_EQ(out, byByte);
    EXPECT_EQ(4u, bytes.GetAnswered());
}

TEST_F(HttpFixture, GarbageOrAnOldClientWithoutKeepAliveEndsTheConnection) {
    Response r = One("\x01\x02 nonsense\r\n\r\n", RC_HTTP_CLOSE);
    EXPECT_EQ(400u, r.status);
    EXPECT_EQ("close", r.headers["Connection"]);
    EXPECT_EQ(200u, One("GET /v1/stats HTTP/1.0\r\n\r\n", RC_HTTP_CLOSE).status);
    EXPECT_EQ("keep-alive", One("GET /v1/stats HTTP/1.0\r\nConnection: keep-alive\r\n\r\n").headers["Connection"]);

    CRcHttpConn conn(backend, signing);
    std::string out;
    const std::string bad = "GET /v1/stats HTTP/1.1\r\nBad Header\r\n\r\nGET /v1/stats HTTP/1.1\r\n\r\n";
    EXPECT_EQ(RC_HTTP_CLOSE, conn.Feed(bad.data(), bad.size(), kNow, out));
    EXPECT_EQ(RC_HTTP_CLOSE, conn.Feed("GET / HTTP/1.1\r\n\r\n", 18, kNow, out));
    EXPECT_EQ(1u, Responses(out).size());
}

TEST(HttpFuzzInputs, SeedsAndKeptFindingsPassEveryHarnessCheck) {
    EXPECT_GT(zqtest::ReplayFuzzInputs("http", zqtest::FUZZ_SEEDS, zqfuzz::HttpFuzz), 0u);
    EXPECT_GT(zqtest::ReplayFuzzInputs("http", zqtest::FUZZ_REGRESSIONS, zqfuzz::HttpFuzz), 0u);
}

TEST_F(HttpFixture, AnAnswerThatComesLaterStillPrecedesThoseOfTheRequestsAfterIt) {
    backend.defer = true;
    CRcHttpConn conn(backend, signing);
    int woken = 0;
    conn.SetWake([&] { ++woken; });
    const std::string two = "GET /v1/resources/" + kFid + " HTTP/1.1\r\n\r\nGET /v1/stats HTTP/1.1\r\n\r\n";
    std::string out;
    EXPECT_EQ(RC_HTTP_OPEN, conn.Feed(two.data(), two.size(), kNow, out));
    EXPECT_EQ("", out);
    EXPECT_TRUE(conn.IsWaiting());
    ASSERT_EQ(1u, backend.Release());  // the stats request was held, not asked
    EXPECT_EQ(1, woken);
    EXPECT_EQ(RC_HTTP_OPEN, conn.Resume(kNow, out));
    ASSERT_EQ(1u, backend.Release());
    EXPECT_EQ(RC_HTTP_OPEN, conn.Resume(kNow, out));
    std::vector<Response> all = Responses(out);
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ("{\"fid\": \"" + kFid + "\"}\n", all[0].body);
    EXPECT_EQ("{\"resources\": 2}\n", all[1].body);
    EXPECT_FALSE(conn.IsWaiting());
}

TEST_F(HttpFixture, AnAnswerForAConnectionGoneMeanwhileIsDropped) {
    backend.defer = true;
    {
        CRcHttpConn conn(backend, signing);
        std::string out;
        const std::string one = "GET /v1/stats HTTP/1.1\r\n\r\n";
        conn.Feed(one.data(), one.size(), kNow, out);
        EXPECT_TRUE(conn.IsWaiting());
    }
    EXPECT_EQ(1u, backend.Release());
}

TEST_F(HttpFixture, LocationsArePagedByLimitAndAfterWithinTheirBounds) {
    EXPECT_EQ(200u, One("GET /v1/resources/" + kFid + "?after=7&limit=5 HTTP/1.1\r\n\r\n").status);
    ASSERT_FALSE(backend.pages.empty());
    EXPECT_EQ(5u, backend.pages.back().Limit);
    EXPECT_EQ(7u, backend.pages.back().After);
    EXPECT_EQ(200u, One("GET /v1/resources/" + kFid + " HTTP/1.1\r\n\r\n").status);
    EXPECT_EQ(RC_HTTP_PAGE_DEFAULT, backend.pages.back().Limit);
    EXPECT_EQ(0u, backend.pages.back().After);
    const size_t asked = backend.pages.size();
    for (const char* query : {"limit=0", "limit=1001", "limit=x", "after=-1", "after=99999999999999999999"})
        EXPECT_EQ(400u, One("GET /v1/resources/" + kFid + "?" + query + " HTTP/1.1\r\n\r\n").status) << query;
    EXPECT_EQ(asked, backend.pages.size());
}

// The page names its script and style by path, so each must be one the
// server answers, with a type the browser will run under the policy.
TEST_F(HttpFixture, ThePageAndWhatItLoadsAreServedUnderAPolicyAllowingOnlyThemselves) {
    Response page = One("GET /?from=bookmark HTTP/1.1\r\n\r\n");
    ASSERT_EQ(200u, page.status);
    EXPECT_EQ("text/html; charset=utf-8", page.headers["Content-Type"]);
    const std::string policy = page.headers["Content-Security-Policy"];
    EXPECT_NE(std::string::npos, policy.find("default-src 'none'")) << policy;
    EXPECT_NE(std::string::npos, policy.find("script-src 'self';")) << policy;
    EXPECT_NE(std::string::npos, policy.find("style-src 'self';")) << policy;
    const struct {
        const char* tag;
        const char* type;
    } loaded[] = {{"<script src=\"", "text/javascript; charset=utf-8"},
                  {"<link rel=\"stylesheet\" href=\"", "text/css; charset=utf-8"}};
    for (const auto& one : loaded) {
        const size_t at = page.body.find(one.tag);
        ASSERT_NE(std::string::npos, at) << one.tag;
        const size_t from = at + strlen(one.tag);
        const std::string path = page.body.substr(from, page.body.find('"', from) - from);
        Response r = One("GET " + path + " HTTP/1.1\r\n\r\n");
        EXPECT_EQ(200u, r.status) << path;
        EXPECT_EQ(one.type, r.headers["Content-Type"]) << path;
        EXPECT_EQ(policy, r.headers["Content-Security-Policy"]) << path;
        EXPECT_FALSE(r.body.empty()) << path;
    }
    EXPECT_EQ(405u, One(Post("/", "a=b")).status);
}

TEST_F(HttpFixture, ATokenIsUsedOnceEvenWhileItsFirstRemovalIsStillAwaited) {
    CRcRemovalTokens tokens(signing.WindowS);
    signing.Tokens = &tokens;
    backend.defer = true;
    const std::string request = Post("/v1/resources/" + kFid + "/remove", "user=9&sig=" + Token(kFid, 9, kNow - 5));
    CRcHttpConn first(backend, signing);
    std::string firstOut;
    first.Feed(request.data(), request.size(), kNow, firstOut);
    ASSERT_TRUE(first.IsWaiting());

    // The second use is refused on the spot, and never reaches the store.
    CRcHttpConn second(backend, signing);
    std::string secondOut;
    second.Feed(request.data(), request.size(), kNow, secondOut);
    std::vector<Response> refused = Responses(secondOut);
    ASSERT_EQ(1u, refused.size());
    EXPECT_EQ(403u, refused[0].status);
    EXPECT_EQ("{\"error\": \"replayed\"}\n", refused[0].body);
    EXPECT_EQ(1u, backend.Release());
    first.Resume(kNow, firstOut);
    ASSERT_EQ(1u, Responses(firstOut).size());
    EXPECT_EQ(200u, Responses(firstOut)[0].status);
    EXPECT_EQ(1, backend.removes);
    // Each answer's status is told once, the late one when it is written.
    EXPECT_EQ((std::vector<unsigned int>{403, 200}), backend.answered);
}

TEST_F(HttpFixture, MetricsAreAnsweredAsTextAndOnlyToAGet) {
    Response r = One("GET /metrics HTTP/1.1\r\n\r\n");
    EXPECT_EQ(200u, r.status);
    EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", r.headers["Content-Type"]);
    EXPECT_EQ("# TYPE zq_up gauge\nzq_up 1\n", r.body);
    r = One("POST /metrics HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(405u, r.status);
    EXPECT_EQ("GET", r.headers["Allow"]);
}

namespace {

// Every route that reads paging answers a query the same way: a number once
// decoded and canonical is taken (0 after is the start), a bad escape, a name
// given twice or a number with a sign or a leading zero is refused.
class HttpQueryRules : public HttpFixture, public ::testing::WithParamInterface<const char*> {
protected:
    unsigned int Status(const std::string& query) {
        const std::string route = GetParam();
        const std::string sep = route.find('?') == std::string::npos ? "?" : "&";
        return One("GET " + route + sep + query + " HTTP/1.1\r\n\r\n").status;
    }
};

TEST_P(HttpQueryRules, OneRuleSetEverywhere) {
    EXPECT_EQ(200u, Status("after=0"));
    EXPECT_EQ(200u, Status("limit=%31"));
    EXPECT_EQ(200u, Status("limit=7&cachebuster=1"));
    EXPECT_EQ(400u, Status("limit=%zz"));
    EXPECT_EQ(400u, Status("limit=5&limit=5"));
    EXPECT_EQ(400u, Status("limit=05"));
    EXPECT_EQ(400u, Status("after=%2B1"));
    EXPECT_EQ(400u, Status("limit=0"));
}

INSTANTIATE_TEST_SUITE_P(PagedRoutes, HttpQueryRules,
                         ::testing::Values("/v1/resources/0123456789abcdef0123456789abcdef01234567",
                                           "/v1/resources", "/v1/search?q=abc"));

TEST_F(HttpFixture, RoutesThatReadNoNumberStillRefuseABadEscapeAndANameGivenTwice) {
    for (const std::string& path : std::vector<std::string>{"/v1/stats", "/metrics", "/v1/resources/" + kFid + "/tpt",
                                                          "/v1/hash/" + kFid}) {
        EXPECT_EQ(200u, One("GET " + path + "?limit=05 HTTP/1.1\r\n\r\n").status) << path;
        EXPECT_EQ(400u, One("GET " + path + "?x=%g0 HTTP/1.1\r\n\r\n").status) << path;
        EXPECT_EQ(400u, One("GET " + path + "?x=1&x=1 HTTP/1.1\r\n\r\n").status) << path;
    }
    // The page's own files take any query a link may carry.
    EXPECT_EQ(200u, One("GET /?x=%g0&x=1&x=2 HTTP/1.1\r\n\r\n").status);
}

}  // namespace
