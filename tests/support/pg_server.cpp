#include "pg_server.h"

#include <glob.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "net.h"
#include "process.h"

namespace zqtest {

namespace {

const int kStartStopMs = 90000;
const int kSqlMs = 35000;

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

bool PgServer::Scratch(const std::vector<std::string>& oArgs, int iTimeoutMs, std::string* pOut) {
    std::vector<std::string> oAll = {std::string(ZQ_SOURCE_DIR) + "/scripts/pg_scratch.sh"};
    oAll.insert(oAll.end(), oArgs.begin(), oArgs.end());
    ProcessResult r = RunProcess("/bin/bash", oAll, Dir(), iTimeoutMs);
    if (pOut != nullptr) *pOut = r.out;
    if (r.timed_out || r.exit_code != 0) {
        m_strError = "pg_scratch.sh " + oArgs[0] + (r.timed_out ? " timed out" : " failed (" +
                     std::to_string(r.exit_code) + ")") + ": " + r.err + r.out;
        return false;
    }
    return true;
}

bool PgServer::Start() {
    if (m_bRunning) return true;
    if (!m_pDir) m_pDir.reset(new TempDir());
    // The port is free when chosen and may be taken before the server binds
    // it; another is tried then. A restart keeps its port, as clients
    // reconnect to the address they know.
    for (int iTry = 0; iTry < 3; ++iTry) {
        std::vector<std::string> oArgs = {"start", Dir()};
        if (m_iPort != 0 && iTry == 0) oArgs.push_back(std::to_string(m_iPort));
        std::string strOut;
        if (!Scratch(oArgs, kStartStopMs, &strOut)) continue;
        const std::string::size_type iAt = strOut.find(" port=");
        if (iAt == std::string::npos) {
            m_strError = "pg_scratch.sh start said no port: " + strOut;
            return false;
        }
        m_iPort = static_cast<unsigned short>(atoi(strOut.c_str() + iAt + 6));
        m_bRunning = true;
        return true;
    }
    return false;
}

bool PgServer::Stop(bool bImmediate) {
    if (!m_bRunning) return true;
    bool bOk = Scratch({"stop", Dir(), bImmediate ? "immediate" : "fast"}, kStartStopMs, nullptr);
    if (bOk) m_bRunning = false;
    return bOk;
}

bool PgServer::Sql(const std::string& strSql, std::string* pOut, const std::string& strDb) {
    return Scratch({"psql", Dir(), "-X", "-q", "-At", "-v", "ON_ERROR_STOP=1", "-d", ConnString(strDb), "-c", strSql},
                   kSqlMs, pOut);
}

bool PgServer::CreateDatabase(const std::string& strDb) { return Sql("CREATE DATABASE \"" + strDb + "\""); }

}  // namespace zqtest
