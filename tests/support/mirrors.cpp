#include "mirrors.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "deadline.h"
#include "net.h"

namespace zqtest {

namespace {

const int kStartTimeoutMs = 15000;
const int kStopTimeoutMs = 10000;
const char* const kNginx = "/usr/sbin/nginx";
const int kPortAttempts = 5;

std::string address_of(size_t index) { return "127.0.0." + std::to_string(2 + index); }

bool accepts(const std::string& address, unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &addr.sin_addr);
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    close(fd);
    return ok;
}

}  // namespace

NginxMirrors::~NginxMirrors() { Stop(); }

void NginxMirrors::Add(const std::string& root, unsigned long bytesPerSecond) {
    m_mirrors.push_back({root, bytesPerSecond, "", ""});
}

void NginxMirrors::AddTls(const std::string& root, const std::string& cert, const std::string& key) {
    m_mirrors.push_back({root, 0, cert, key});
}

bool NginxMirrors::Start() {
    if (access(kNginx, X_OK) != 0) {
        m_error = std::string(kNginx) + " is missing (scripts/install_deps.sh installs nginx)";
        return false;
    }
    // The port is free on 127.0.0.1 when chosen, but another test's server
    // may hold it on one of the other addresses: then a new port is tried.
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        bool portTaken = false;
        if (StartOnPort(RefusedPort(), &portTaken)) return true;
        if (!portTaken) return false;
    }
    return false;
}

bool NginxMirrors::StartOnPort(unsigned short port, bool* portTaken) {
    m_port = port;
    const std::string& d = m_dir.path();
    const std::string errorLog = d + "/error.log";
    unlink(errorLog.c_str());
    std::ostringstream conf;
    // In the foreground and in one process, so stopping the child stops it all;
    // as root it would hand the work to a user who cannot read the temp dir.
    conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n";
    if (geteuid() == 0) conf << "user root;\n";
    conf << "pid " << d << "/nginx.pid;\nerror_log " << errorLog << ";\n"
         << "events { worker_connections 256; }\nhttp {\n"
         << "  log_format bytes '$server_addr $body_bytes_sent $msec $request_uri';\n  access_log " << d << "/access.log bytes;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf << "  " << temp << "_temp_path " << d << "/" << temp << ";\n";
    for (size_t i = 0; i < m_mirrors.size(); ++i) {
        const mirror_t& m = m_mirrors[i];
        conf << "  server { listen " << address_of(i) << ":" << m_port << (m.cert.empty() ? "" : " ssl")
             << "; root " << m.root << ";";
        if (!m.cert.empty()) conf << " ssl_certificate " << m.cert << "; ssl_certificate_key " << m.key << ";";
        if (m.rate > 0) conf << " limit_rate " << m.rate << ";";
        conf << " }\n";
    }
    conf << "}\n";
    WriteFile(d + "/nginx.conf", conf.str());
    SpawnOptions options;
    options.cwd = d;
    options.stdio = SpawnOptions::STDIO_MERGED;
    options.defaultSignals = true;
    if (!m_process.Start(kNginx, {"-p", d, "-c", d + "/nginx.conf", "-e", errorLog}, options)) {
        m_error = "nginx did not start";
        return false;
    }
    auto failed = [&](const std::string& why) {
        Stop();
        std::string log = FileExists(errorLog) ? ReadFile(errorLog) : "";
        *portTaken = log.find("Address already in use") != std::string::npos;
        m_error = why + ": " + log;
        return false;
    };
    Deadline deadline(kStartTimeoutMs);
    for (size_t i = 0; i < m_mirrors.size(); ++i) {
        while (!accepts(address_of(i), m_port)) {
            if (!m_process.Running() || deadline.Passed()) return failed("nginx did not listen");
            usleep(20000);
        }
    }
    // Another server may have answered on an address nginx could not bind.
    if (FileExists(errorLog) && ReadFile(errorLog).find("Address already in use") != std::string::npos)
        return failed("nginx could not bind every address");
    return true;
}

void NginxMirrors::Stop() {
    if (!m_process.Running()) return;
    m_process.Signal(SIGTERM);
    ProcessResult r = m_process.Wait(kStopTimeoutMs);
    (void)r;
}

std::string NginxMirrors::Url(size_t index, const std::string& name) const {
    return (m_mirrors[index].cert.empty() ? "http://" : "https://") + address_of(index) + ":" +
           std::to_string(m_port) + "/" + name;
}

std::vector<NginxMirrors::logged_t> NginxMirrors::Log() const {
    std::ifstream in(m_dir.path() + "/access.log");
    std::vector<logged_t> out;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        logged_t one;
        if (fields >> one.address >> one.bytes >> one.when >> one.uri) out.push_back(one);
    }
    return out;
}

unsigned long long NginxMirrors::BodyBytesSent(int index) const {
    unsigned long long total = 0;
    for (const logged_t& one : Log())
        if (index < 0 || one.address == address_of(static_cast<size_t>(index))) total += one.bytes;
    return total;
}

unsigned long long NginxMirrors::Requests(int index) const {
    unsigned long long total = 0;
    for (const logged_t& one : Log())
        if (index < 0 || one.address == address_of(static_cast<size_t>(index))) ++total;
    return total;
}

std::vector<double> NginxMirrors::RequestTimes(const std::string& uri) const {
    std::vector<double> out;
    for (const logged_t& one : Log())
        if (one.uri == uri) out.push_back(one.when);
    return out;
}

bool ScriptedMirror::Start(const std::string& file, const std::string& mode, unsigned long pieceSize,
                           unsigned piece, const std::string& target) {
    std::vector<std::string> args = {file, mode, std::to_string(pieceSize), std::to_string(piece)};
    if (!target.empty()) args.push_back(target);
    return StartScript("bad_mirror.py", args);
}

bool ScriptedMirror::StartScript(const std::string& script, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {std::string(ZQ_SOURCE_DIR) + "/tests/support/" + script};
    argv.insert(argv.end(), args.begin(), args.end());
    SpawnOptions options;
    options.stdio = SpawnOptions::STDIO_PIPES;
    options.defaultSignals = true;
    if (!m_process.Start("/usr/bin/python3", argv, options)) return false;
    std::string line;
    if (!m_process.WaitForLine("listening on ", &line, kStartTimeoutMs)) return false;
    m_port = static_cast<unsigned short>(std::stoi(line.substr(line.rfind(' ') + 1)));
    return m_port != 0;
}

void ScriptedMirror::Stop() {
    if (!m_process.Running()) return;
    m_process.Signal(SIGKILL);
    ProcessResult r = m_process.Wait(kStopTimeoutMs);
    (void)r;
}

std::string ScriptedMirror::Url(const std::string& name) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + "/" + name;
}

}  // namespace zqtest
