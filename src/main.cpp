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
    RUN_FINISHED,
    RUN_CONFIG_FAILED,
    RUN_BAD_USAGE,
};

int exit_status(ERunOutcome outcome) {
    switch (outcome) {
        case RUN_CONFIG_FAILED:
        case RUN_BAD_USAGE:
            return 255;
        case RUN_FINISHED:
            break;
    }
    return 0;
}

ERunOutcome run(int argc, char** argv) {
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

    // Not examined here: the report client learns from m_compute whether
    // there is anything to send.
    g_ip_svr.compute_rc_info(filepath, argv[1], argv[2]);

    // Next: report it to the resource center; its outcome joins ERunOutcome.
    return RUN_FINISHED;
}

}  // namespace

int main(int argc, char** argv) {
    ERunOutcome outcome = run(argc, argv);
    // A signal caught on the way is logged here, never from the handler.
    app_report_stop();
    return exit_status(outcome);
}
