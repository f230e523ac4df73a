// Download mirrors for tests, on loopback only: nginx serving directories
// from a temporary configuration (one server per 127.0.0.x address, each
// optionally rate-limited per connection), and a scripted mirror
// (bad_mirror.py) that misbehaves in one chosen way. Both are stopped and
// their files removed on destruction; every wait is bounded.
#ifndef ZQ_TEST_MIRRORS_H
#define ZQ_TEST_MIRRORS_H

#include <string>
#include <vector>

#include "files.h"
#include "process.h"

namespace zqtest {

class NginxMirrors {
public:
    NginxMirrors() = default;
    ~NginxMirrors();
    NginxMirrors(const NginxMirrors&) = delete;
    NginxMirrors& operator=(const NginxMirrors&) = delete;

    // Serves root on 127.0.0.<2 + index> at bytesPerSecond per connection
    // (0: no limit); the mirror's base URL once started.
    void Add(const std::string& root, unsigned long bytesPerSecond = 0);
    // Serves root over TLS with the certificate and key in PEM files.
    void AddTls(const std::string& root, const std::string& cert, const std::string& key);
    // False (the reason in Error()) when nginx is missing or did not come up.
    bool Start();
    void Stop();
    std::string Url(size_t index, const std::string& name) const;
    // Body bytes the mirrors have sent (or mirror `index` alone), from the access log.
    unsigned long long BodyBytesSent(int index = -1) const;
    // Requests the mirrors have answered (or mirror `index` alone), from the access log.
    unsigned long long Requests(int index = -1) const;
    // When each request for uri (path and query as sent) was answered, in
    // seconds since the epoch, in the log's order.
    std::vector<double> RequestTimes(const std::string& uri) const;
    const std::string& Error() const { return m_error; }

private:
    struct logged_t {
        std::string address;
        unsigned long long bytes = 0;
        double when = 0;
        std::string uri;
    };
    std::vector<logged_t> Log() const;
    // *portTaken: the failure was another server holding the port.
    bool StartOnPort(unsigned short port, bool* portTaken);

    struct mirror_t {
        std::string root;
        unsigned long rate;
        std::string cert;  // empty: plain http
        std::string key;
    };
    TempDir m_dir;
    std::vector<mirror_t> m_mirrors;
    unsigned short m_port = 0;
    ChildProcess m_process;
    std::string m_error;
};

// bad_mirror.py serving file on 127.0.0.1 in one of its modes: corrupt
// (a byte flipped in piece `piece` and every later one), norange (200 and the whole file),
// wronglength (a Content-Range other than the one asked for), cut (the
// connection closed half way through piece `piece`), stall (headers never
// sent), redirect-file (a redirect to file:// of the same file), redirect
// (to the URL target), redirect-loop (to itself), slow (a byte a second).
class ScriptedMirror {
public:
    ScriptedMirror() = default;
    ~ScriptedMirror() { Stop(); }
    bool Start(const std::string& file, const std::string& mode, unsigned long pieceSize = 0, unsigned piece = 0,
               const std::string& target = "");
    // Any script of tests/support that prints "listening on PORT" (paged_center.py).
    bool StartScript(const std::string& script, const std::vector<std::string>& args);
    void Stop();
    std::string Url(const std::string& name) const;

private:
    ChildProcess m_process;
    unsigned short m_port = 0;
};

}  // namespace zqtest

#endif
