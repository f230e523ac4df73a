#include "pg_server.h"

#include <glob.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "net.h"
#include "process.h"

namespace zqtest {

namespace {

const int kInitMs = 60000;
const int kStartStopMs = 30000;
const int kSqlMs = 30000;

// The user the cluster runs as: nobody when we are root, else ourselves.
bool ClusterUser(uid_t& iUid, gid_t& iGid) {
    if (geteuid() != 0) {
        iUid = geteuid();
        iGid = getegid();
        return true;
    }
    const passwd* pw = getpwnam("nobody");
    if (pw == nullptr) return false;
    iUid = pw->pw_uid;
    iGid = pw->pw_gid;
    return true;
}

// PostgreSQL's major versions sort as numbers, not as text ("9" < "15").
int MajorOf(const std::string& strBin) {
    std::string::size_type end = strBin.rfind("/bin");
    std::string::size_type begin = strBin.rfind('/', end - 1);
    return atoi(strBin.substr(begin + 1, end - begin - 1).c_str());
}

}  // namespace

std::string PgServer::BinDir() {
    glob_t g;
    std::vector<std::string> oFound;
    if (glob("/usr/lib/postgresql/*/bin", 0, nullptr, &g) == 0) {
        for (size_t i = 0; i < g.gl_pathc; ++i) {
            std::string strDir = g.gl_pathv[i];
            if (access((strDir + "/initdb").c_str(), X_OK) == 0) oFound.push_back(strDir);
        }
    }
    globfree(&g);
    if (oFound.empty()) return std::string();
    return *std::max_element(oFound.begin(), oFound.end(),
                             [](const std::string& a, const std::string& b) { return MajorOf(a) < MajorOf(b); });
}

PgServer::~PgServer() {
    if (m_bRunning) Stop(true);
}

const std::string& PgServer::Dir() const {
    static const std::string kNone;
    return m_pDir ? m_pDir->path() : kNone;
}

std::string PgServer::ConnString(const std::string& strDb) const {
    return "host=" + Dir() + " port=" + std::to_string(m_iPort) + " user=postgres dbname=" + strDb;
}

std::string PgServer::Uri(const std::string& strDb) const {
    return "postgresql://postgres@127.0.0.1:" + std::to_string(m_iPort) + "/" + strDb;
}

// The programs run in a forked child that drops to the cluster's user
// before exec; its output comes back through the spawner's pipes.
bool PgServer::RunAsOwner(const std::string& strProgram, const std::vector<std::string>& oArgs, int iTimeoutMs,
                          std::string* pOut) {
    uid_t iUid = 0;
    gid_t iGid = 0;
    if (!ClusterUser(iUid, iGid)) {
        m_strError = "no user \"nobody\" to run PostgreSQL as";
        return false;
    }
    std::string strPath = m_strBin + "/" + strProgram;
    std::string strDir = Dir();
    std::function<int()> body = [&]() {
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(iGid) != 0 || setuid(iUid) != 0)) return 126;
        if (chdir(strDir.c_str()) != 0) return 126;
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(strPath.c_str()));
        for (const std::string& s : oArgs) argv.push_back(const_cast<char*>(s.c_str()));
        argv.push_back(nullptr);
        execv(strPath.c_str(), argv.data());
        return 127;
    };
    SpawnOptions options;
    options.stdio = SpawnOptions::STDIO_MERGED;
    ChildProcess child;
    if (!child.StartFunction(body, options)) {
        m_strError = "cannot fork for " + strProgram;
        return false;
    }
    ProcessResult r = child.Wait(iTimeoutMs);
    if (pOut != nullptr) *pOut = r.out;
    if (r.timed_out || r.exit_code != 0) {
        m_strError = strProgram + (r.timed_out ? " timed out" : " failed (" + std::to_string(r.exit_code) + ")") +
                     ": " + r.out;
        return false;
    }
    return true;
}

bool PgServer::InitCluster() {
    m_strBin = BinDir();
    if (m_strBin.empty()) {
        m_strError = "no PostgreSQL server under /usr/lib/postgresql (scripts/install_deps.sh installs it)";
        return false;
    }
    m_pDir.reset(new TempDir());
    uid_t iUid = 0;
    gid_t iGid = 0;
    if (!ClusterUser(iUid, iGid) || chown(Dir().c_str(), iUid, iGid) != 0) {
        m_strError = "cannot give " + Dir() + " to the cluster's user";
        return false;
    }
    // initdb's own syncs only slow the test down; the server keeps fsync and
    // synchronous_commit at their defaults, so commits are as durable as in use.
    if (!RunAsOwner("initdb", {"-D", Dir() + "/data", "-U", "postgres", "-A", "trust", "-E", "UTF8", "--no-sync",
                               "--locale=C"},
                    kInitMs, nullptr))
        return false;
    m_bMade = true;
    return true;
}

bool PgServer::Start() {
    if (m_bRunning) return true;
    if (!m_bMade && !InitCluster()) return false;
    // The port is free when chosen and may be taken before the server binds
    // it; a second port is tried then. A restart keeps its port, as clients
    // reconnect to the address they know.
    for (int iTry = 0; iTry < 3; ++iTry) {
        if (m_iPort == 0 || iTry > 0) m_iPort = RefusedPort();
        std::string strOpts = "-p " + std::to_string(m_iPort) + " -k " + Dir() +
                              " -c listen_addresses=127.0.0.1 -c max_connections=200";
        if (RunAsOwner("pg_ctl", {"-D", Dir() + "/data", "-l", Dir() + "/server.log", "-o", strOpts, "-w", "-t",
                                  std::to_string(kStartStopMs / 1000 - 5), "start"},
                       kStartStopMs, nullptr)) {
            m_bRunning = true;
            return true;
        }
        m_strError += ReadFile(Dir() + "/server.log");
    }
    return false;
}

bool PgServer::Stop(bool bImmediate) {
    if (!m_bRunning) return true;
    bool bOk = RunAsOwner("pg_ctl", {"-D", Dir() + "/data", "-m", bImmediate ? "immediate" : "fast", "-w", "-t",
                                     std::to_string(kStartStopMs / 1000 - 5), "stop"},
                          kStartStopMs, nullptr);
    if (bOk) m_bRunning = false;
    return bOk;
}

bool PgServer::Sql(const std::string& strSql, std::string* pOut, const std::string& strDb) {
    std::string strOut;
    bool bOk = RunAsOwner("psql", {"-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-d", ConnString(strDb), "-c", strSql},
                          kSqlMs, &strOut);
    if (pOut != nullptr) *pOut = strOut;
    return bOk;
}

bool PgServer::CreateDatabase(const std::string& strDb) { return Sql("CREATE DATABASE \"" + strDb + "\""); }

}  // namespace zqtest
