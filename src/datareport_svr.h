// The report client ip_svr_t: it owns the resource-info record (rc_record),
// fills it from the file (rc_digests, then fill_rc_info) and sends it to the
// resource center with the protocol's codec (report_wire), then waits for the
// one response. compute_rc_info wraps the computation with the tool's
// progress lines; nothing else here prints.
#ifndef ZQ_DATAREPORT_SVR_H
#define ZQ_DATAREPORT_SVR_H

#include <atomic>
#include <string>
#include <vector>

#include "aio_evt_handler.h"
#include "aio_operator.h"
#include "common_header.h"
#include "rc_digests.h"
#include "rc_record.h"
#include "report_wire.h"
#include "tcp_connect.h"

// How a report run ended, as ip_svr_t::run_outcome() tells it.
enum ERcOutcome {
    RC_OUTCOME_NONE = 0,     // run has not ended (or not started)
    RC_ANSWERED,             // the server's response was decoded
    RC_NOTHING_TO_SEND,      // connected, but the record was never computed
    RC_CONNECT_FAILED,       // the connect was refused or failed
    RC_SEND_FAILED,          // the request could not be built or queued
    RC_CLOSED,               // the connection closed or broke before a response
    RC_TIMED_OUT,            // no response within the task timeout
    RC_STOPPED,              // a termination signal stopped the wait
};

// The report client. It owns the record, an I/O operator for which it is the
// event handler, and the keeper of its one connection to the resource center.
// compute_rc_info, init, run, in that order, on one thread; run returns once
// the report was answered, cannot be answered, timed out, or a termination
// signal asked it to stop (polled from app_signal each turn).
class ip_svr_t : public CAioEvtHandler {
public:
    enum {
        MAX_FD_NUM = 64,
        READ_BUF_SIZE = zq_head_t::MAX_PACKET_LEN,
        INACTIVE_TIMEOUT_MS = 10000,
        RETRY_INTERVAL_MS = 2000,
        DEFAULT_TASK_TIMEOUT_MS = 3000,
    };

    ip_svr_t();
    ~ip_svr_t() override;
    ip_svr_t(const ip_svr_t&) = delete;
    ip_svr_t& operator=(const ip_svr_t&) = delete;

    // Reads strFileName, records realFileName and url; 0 on success (and
    // m_compute set), -1 when a pass failed (the record stays untouched).
    // Prints and logs its progress lines; with standard error on a terminal
    // a progress line shows there while the file is read.
    int compute_rc_info(const std::string& strFileName, const std::string& realFileName, const std::string& url,
                        const rc_digest_opts_t& oOpts = rc_digest_opts_t());

    // The operator's table and epoll instance, and the keeper aimed at
    // g_config's rc_ip:rc_port; 0, or the failing step's negative result.
    int init();
    // Waits at most task_timeout_ms (g_config; non-positive means the
    // default) from its start. Always 0; run_outcome() says how it ended.
    int run();
    // Ends the run after the current turn, as a termination signal does.
    int Stop();
    // Packs and queues the request on the keeper's connection; 0 when both
    // parts were queued, otherwise negative (nothing, or only the header,
    // was queued).
    int send_rc_info();
    // Decodes one response packet of iBufLen bytes (header included): logs
    // its result and error number and ends the run; -1 (dropped) when the
    // body holds fewer than 8 bytes.
    int process_rc_info_response(CFdContext* pFdContext, char* pData, uint32_t iBufLen);

    sint32 OnTcpConnOut(CFdContext* pFdContext, bool bSuccess) override;
    sint32 OnTcpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, uint32& iParsedDataSize) override;
    sint32 OnTcpWrote(CFdContext* pFdContext, void* pHandle, const char* pRefedMem, uint32 iWantSize,
                      sint32 iWroteSize) override;
    sint32 OnUdpRead(CFdContext* pFdContext, char* pData, uint32 iDataSize, const CInetAddr& remoteAddr) override;
    // Our connection closing before the response ends the run; -1 for null.
    sint32 OnFdClosed(CFdContext* pFdContext) override;

    // After the keeper started a connect: one that completed inside Connect
    // gets no OnTcpConnOut from the operator, so it is announced here.
    void on_connect_started();

    ERcOutcome run_outcome() const { return m_outcome; }
    // The signal behind RC_STOPPED, else 0.
    int stop_signal() const { return m_stop_sig; }

    RSInfo mData;
    std::atomic<bool> m_run;
    CAioOperator m_AioOperator;
    tcp_connect m_rc_conn;
    bool m_compute;

private:
    // Records the first outcome and ends the run; later calls change nothing.
    void finish(ERcOutcome outcome);
    // Whether pFdContext is the keeper's live connection.
    bool is_rc_conn(CFdContext* pFdContext) const;

    ERcOutcome m_outcome;
    int m_stop_sig;
    bool m_announced;  // OnTcpConnOut handled for the current connection
};

// The request counter: 0 at start, incremented before each request is built.
extern uint32_t mSeq;

// Milliseconds from time_start (a GetTickCount() value) to now; 0, with a
// warning, when the tick is below time_start. timeval_us: the same in
// microseconds.
uint32_t timeval_ms(uint32_t time_start);
uint64_t timeval_us(uint32_t time_start);

extern ip_svr_t g_ip_svr;

#endif
