#include "app_signal.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "svr_log.h"

namespace {

std::atomic<int> s_pendingSig{0};
std::atomic<bool> s_stopRequested{false};

static_assert(std::atomic<int>::is_always_lock_free, "signal handler needs a lock-free flag");
static_assert(std::atomic<bool>::is_always_lock_free, "signal handler needs a lock-free flag");

}  // namespace

int install_sig_action() {
    signal(SIGQUIT, AppClose);
    signal(SIGABRT, AppClose);
    signal(SIGINT, AppClose);
    signal(SIGTERM, AppClose);
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

void AppClose(int iSigNum) {
    s_pendingSig.store(iSigNum);
    s_stopRequested.store(true);
}

bool app_stop_requested() { return s_stopRequested.load(); }

bool app_report_stop() {
    int sig = s_pendingSig.exchange(0);
    if (sig != 0) LOG_INFO("pid:%d, caught sig:%d, server is stopping", static_cast<int>(getpid()), sig);
    return s_stopRequested.load();
}

void app_clear_stop() { s_stopRequested.store(false); }
