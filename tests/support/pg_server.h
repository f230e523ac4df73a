// A throwaway PostgreSQL cluster for tests, made and run by
// scripts/pg_scratch.sh (the one implementation, which the benchmark and the
// demo use too): initdb and pg_ctl in a fresh temporary directory (as the
// unprivileged "nobody" when the test runs as root, since both refuse root),
// its Unix socket in that directory and a free TCP port on 127.0.0.1. Every
// start and stop is bounded; the cluster is stopped and removed on
// destruction. Failures come back as false with the reason in Error(): a
// test that needs the database asserts on Start().
#ifndef ZQ_TEST_PG_SERVER_H
#define ZQ_TEST_PG_SERVER_H

#include <memory>
#include <string>
#include <vector>

#include "files.h"

namespace zqtest {

class PgServer {
public:
    PgServer() = default;
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // Makes the cluster (first call only) and starts it.
    bool Start();
    // Stops it; bImmediate is a crash as far as the database knows (no
    // checkpoint, recovery at the next start). The cluster stays for Start.
    bool Stop(bool bImmediate);
    bool Running() const { return m_bRunning; }

    // libpq's key/value form over the Unix socket, and the URI form over TCP.
    std::string ConnString(const std::string& strDb = "postgres") const;
    std::string Uri(const std::string& strDb = "postgres") const;
    unsigned short Port() const { return m_iPort; }
    const std::string& Dir() const;

    // Runs psql -At with one command, bounded; the rows, one a line, or
    // false with psql's error in Error().
    bool Sql(const std::string& strSql, std::string* pOut = nullptr, const std::string& strDb = "postgres");
    // A fresh database for one test, so tests can share a cluster.
    bool CreateDatabase(const std::string& strDb);

    const std::string& Error() const { return m_strError; }

    // The newest installed server's bin directory; empty when none is.
    static std::string BinDir();

private:
    // Runs pg_scratch.sh with oArgs, bounded; its standard output, or false
    // with what it said in Error().
    bool Scratch(const std::vector<std::string>& oArgs, int iTimeoutMs, std::string* pOut);

    std::unique_ptr<TempDir> m_pDir;
    unsigned short m_iPort = 0;
    bool m_bRunning = false;
    std::string m_strError;
};

}  // namespace zqtest

#endif
