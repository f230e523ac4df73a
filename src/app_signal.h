// Termination signals and the stop request they raise. The handler (AppClose)
// only records the request in lock-free atomics: it may interrupt a log write,
// so it neither logs nor touches the log's lock or buffers. The main thread
// polls app_report_stop(), which writes the stop line on the handler's behalf.
#ifndef ZQ_APP_SIGNAL_H
#define ZQ_APP_SIGNAL_H

// SIGQUIT, SIGABRT, SIGINT and SIGTERM go to AppClose; SIGPIPE is ignored so a
// write to a closed connection fails instead of ending the process. Returns 0.
int install_sig_action();

void AppClose(int iSigNum);

// True once a termination signal has asked the tool to stop (and not cleared).
bool app_stop_requested();
// Logs "pid:%d, caught sig:%d, server is stopping" at info for a signal caught
// since the last call, then answers app_stop_requested(). Main thread only.
bool app_report_stop();
// The signal of the latest stop request (0 when none is pending).
int app_stop_signal();
// Forgets an earlier stop request, for a loop that starts afresh.
void app_clear_stop();

#endif
