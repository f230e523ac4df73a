#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "app_process.h"
#include "app_signal.h"
#include "config.h"
#include "datareport_svr.h"
#include "svr_log.h"

const char* MAIN_CONFIG_FILE = "./main.conf";
ip_svr_t g_ip_svr;

namespace {

// How a run ended. exit_status() is the only place that turns an outcome into
// the process's exit status.
enum ERunOutcome {
    RUN_ANSWERED,        // the server's response was decoded
    RUN_CONFIG_FAILED,
    RUN_BAD_USAGE,
    RUN_NOT_IDENTIFIED,  // the file could not be read; whatever the connection did
    RUN_NOT_ANSWERED,    // init, connect, connection or wait failed
    RUN_STOPPED,         // a termination signal ended the wait
};

int exit_status(ERunOutcome outcome, int iStopSig) {
    switch (outcome) {
        case RUN_ANSWERED:
            return 0;
        case RUN_CONFIG_FAILED:
        case RUN_BAD_USAGE:
            return 255;
        case RUN_NOT_IDENTIFIED:
            return 1;
        case RUN_STOPPED:
            if (iStopSig > 0 && iStopSig < 128) return 128 + iStopSig;
            break;
        case RUN_NOT_ANSWERED:
            break;
    }
    return 2;
}

ERunOutcome run(int argc, char** argv, int* pStopSig) {
    // Before the arguments: a broken configuration ends the run even when the
    // command line is wrong too.
    if (g_config.load_main_conf(MAIN_CONFIG_FILE) != 0) return RUN_CONFIG_FAILED;
    srand(static_cast<unsigned int>(time(nullptr)));
    install_sig_action();
    set_limit(64);
    if (argc != 3) {
        printf("use: %s filename url\n", argc > 0 && argv[0] != nullptr ? argv[0] : "datareport");
        return RUN_BAD_USAGE;
    }
    // Taken as given: no normalisation of either part.
    std::string filepath;
    filepath += g_config.file_path;
    filepath += "/";
    filepath += argv[1];

    // A file that cannot be read still goes on to connect: the client stops
    // as soon as the connection completes, without sending.
    rc_digest_opts_t oDigestOpts;
    oDigestOpts.Mode = g_config.digest_throttle != 0 ? RC_DIGEST_THROTTLED : RC_DIGEST_ONE_PASS;
    oDigestOpts.Threads = g_config.digest_threads;
    oDigestOpts.Simd = g_config.digest_simd;
    bool bIdentified = g_ip_svr.compute_rc_info(filepath, argv[1], argv[2], oDigestOpts) == 0;

    if (g_ip_svr.init() != 0) {
        LOG_FATAL("server init error");
        printf("server init error\n");
        return bIdentified ? RUN_NOT_ANSWERED : RUN_NOT_IDENTIFIED;
    }
    g_ip_svr.run();

    if (g_ip_svr.run_outcome() == RC_STOPPED && g_ip_svr.stop_signal() > 0) {
        *pStopSig = g_ip_svr.stop_signal();
        return RUN_STOPPED;
    }
    if (!bIdentified) return RUN_NOT_IDENTIFIED;
    return g_ip_svr.run_outcome() == RC_ANSWERED ? RUN_ANSWERED : RUN_NOT_ANSWERED;
}

}  // namespace

int main(int argc, char** argv) {
    int iStopSig = 0;
    ERunOutcome outcome = run(argc, argv, &iStopSig);
    // A signal caught on the way is logged here, never from the handler.
    app_report_stop();
    fflush(stdout);
    return exit_status(outcome, iStopSig);
}
