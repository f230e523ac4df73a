// zq_rcenter [CONFIG_FILE]: a stand-in resource center. It accepts report
// requests on a TCP port, checks each against its own piece table, answers
// it, and stores every accepted report in its database; FIDs it holds are
// answered "already known". Once listening it prints "listening on IP:PORT"
// (then "http on IP:PORT" when the HTTP API is configured) and runs until
// SIGINT or SIGTERM.
#include <sys/resource.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app_signal.h"
#include "cmd_line.h"
#include "rc_config.h"
#include "rc_dedup.h"
#include "rc_server.h"
#include "rc_store.h"
#include "rc_store_factory.h"
#include "svr_log.h"

namespace {

const char* const kDefaultConfig = "./rcenter.conf";

// The exit statuses, in one place.
enum {
    EXIT_STOPPED = 0,       // stopped by SIGINT or SIGTERM
    EXIT_START_FAILED = 1,  // configuration, store, shared memory or socket
    // ZQ_EXIT_USAGE (2): bad arguments
};

void print_usage(FILE* pOut) {
    fputs("usage: zq_rcenter [CONFIG_FILE]\n"
          "       zq_rcenter --help | --version\n"
          "  serves report requests until SIGINT or SIGTERM; CONFIG_FILE defaults to\n"
          "  ./rcenter.conf, and only that default may be missing (every setting\n"
          "  then has its default)\n",
          pOut);
}

int fail_start(const std::string& strWhy) {
    LOG_FATAL("%s", strWhy.c_str());
    fprintf(stderr, "zq_rcenter: %s\n", strWhy.c_str());
    return EXIT_START_FAILED;
}

void init_logs(const rc_config_t& oConfig) {
    char szErrPath[CLog::FILE_NAME_BUF_SIZE];
    char szStatPath[CLog::FILE_NAME_BUF_SIZE];
    snprintf(szErrPath, sizeof(szErrPath), "%s", oConfig.err_log_path.c_str());
    snprintf(szStatPath, sizeof(szStatPath), "%s", oConfig.stat_log_path.c_str());
    g_ErrLog.reset();
    g_StatisLog.reset();
    // Flushed line by line: the server runs for long and its lines are few.
    g_ErrLog.InitFileLog(szErrPath, true, FL_FILE_SIZE_ROTATE, oConfig.rotate_file_size, oConfig.rotate_file_num);
    g_ErrLog.SetOutLevel(oConfig.err_log_level);
    g_ErrLog.OpenFileLog();
    g_StatisLog.InitFileLog(szStatPath, true, FL_DAILY_ROTATE, 10485760u, 4294967295u);
    g_StatisLog.OpenFileLog();
}

// Room for the configured table: the soft limit is raised toward it, within
// the hard limit, so accepted connections are not refused for descriptors.
void raise_fd_limit(uint32 iWanted) {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur >= iWanted) return;
    rlim_t iNew = iWanted;
    if (lim.rlim_max != RLIM_INFINITY && iNew > lim.rlim_max) iNew = lim.rlim_max;
    lim.rlim_cur = iNew;
    if (setrlimit(RLIMIT_NOFILE, &lim) != 0) LOG_WARN("cannot raise the descriptor limit to %u", iWanted);
}

int run(int argc, char** argv) {
    CCmdLine oLine("zq_rcenter", {}, print_usage);
    const char* pszValue = nullptr;
    if (oLine.Next(argc, argv, pszValue) != CCmdLine::OPT_END) return oLine.ExitStatus();
    const int iOperands = argc - oLine.FirstOperand();
    if (iOperands > 1) return oLine.Fail("at most one CONFIG_FILE");
    const bool bNamed = iOperands == 1;
    std::string strConfig = bNamed ? argv[oLine.FirstOperand()] : kDefaultConfig;

    rc_config_t oConfig;
    bool bMissing = false;
    std::vector<std::string> oWarnings;
    std::string strError;
    if (rc_load_config(strConfig, oConfig, bMissing, oWarnings, strError) != 0) {
        fprintf(stderr, "zq_rcenter: %s: %s\n", strConfig.c_str(), strError.c_str());
        return EXIT_START_FAILED;
    }
    // A file the operator named and that is not there is a mistake, never
    // a reason to start on the defaults in whatever directory this is.
    if (bNamed && bMissing) {
        fprintf(stderr, "zq_rcenter: %s: cannot read it: %s\n", strConfig.c_str(), strerror(ENOENT));
        return EXIT_START_FAILED;
    }
    init_logs(oConfig);
    if (bMissing) {
        LOG_WARN("no %s: every setting has its default", strConfig.c_str());
        fprintf(stderr, "zq_rcenter: no %s: every setting has its default\n", strConfig.c_str());
    }
    for (const std::string& strWarning : oWarnings) {
        LOG_WARN("%s: %s", strConfig.c_str(), strWarning.c_str());
        fprintf(stderr, "zq_rcenter: %s: %s\n", strConfig.c_str(), strWarning.c_str());
    }
    install_sig_action();
    raise_fd_limit(oConfig.max_fd_num);

    std::unique_ptr<CRcStore> pStore;
    if (rc_open_store(rc_store_address(oConfig), RC_STORE_WRITE, pStore, strError) != 0) return fail_start("store " + strError);
    CRcStore& oStore = *pStore;

    CRcDedup oDedup;
    if (oDedup.Open(oConfig.shm_key, oConfig.shm_size, strError) != 0) return fail_start(strError);

    CRcenterServer oServer(oConfig, oStore, oDedup);
    if (oServer.Start(strError) != 0) return fail_start(strError);
    const CInetAddr& addr = oServer.GetListenAddr();
    printf("listening on %s:%u\n", addr.GetIpStr(), static_cast<unsigned>(addr.GetPort()));
    if (oServer.HasHttp()) {
        const CInetAddr& httpAddr = oServer.GetHttpListenAddr();
        printf("http on %s:%u\n", httpAddr.GetIpStr(), static_cast<unsigned>(httpAddr.GetPort()));
    }
    fflush(stdout);

    while (!app_stop_requested()) oServer.RunOnce();
    app_report_stop();
    // What was received is answered before the end, committed or not.
    if (!oServer.Stop()) LOG_ERR("some reports were left without an answer");
    oServer.WriteStatistics();
    LOG_INFO("stopped");
    return EXIT_STOPPED;
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
