#include "app_signal.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "svr_log.h"

namespace {

std::atomic<int> s_pendingSig{0};
std::atomic<bool> s_stopRequested{false};
std::atomic<int> s_stopSig{0};

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
    s_stopSig.store(iSigNum);
    s_stopRequested.store(true);
}

bool app_stop_requested() { return s_stopRequested.load(); }

bool app_report_stop() {
    int sig = s_pendingSig.exchange(0);
    if (sig != 0) LOG_INFO("pid:%d, caught sig:%d, server is stopping", static_cast<int>(getpid()), sig);
    return s_stopRequested.load();
}

int app_stop_signal() { return s_stopRequested.load() ? s_stopSig.load() : 0; }

// The number first: a signal landing between the two stores is forgotten
// whole, like one caught before the clear, never kept without its number.
void app_clear_stop() {
    s_stopSig.store(0);
    s_stopRequested.store(false);
}
