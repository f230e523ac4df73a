// The resource center's configuration, read once at start from a key/value
// file (rcenter.conf) with the zq_conf reader. A missing file means every
// default; a key present with an unusable value is an error, never a silent
// default, and an unknown key is reported so a misspelt one is noticed.
#ifndef ZQ_RC_CONFIG_H
#define ZQ_RC_CONFIG_H

#include <string>
#include <vector>

#include "common_header.h"
#include "rc_store_factory.h"
#include "req_sig.h"
#include "sig_key.h"

struct rc_config_t {
    std::string listen_ip = "127.0.0.1";
    uint32 listen_port = 0;  // 0: any free port
    std::string db_path = "./data/rcenter.db";
    // A PostgreSQL connection string or postgresql:// URI; when set, the
    // store is that database and db_path is not used. Never logged unmasked.
    std::string db_url;
    uint32 db_timeout_ms = 5000;  // the longest any call waits for that database
    std::string err_log_path = "./log/rcenter_errlog";
    sint32 err_log_level = 4;
    uint32 rotate_file_size = 0x5000000;
    uint32 rotate_file_num = 50;
    std::string stat_log_path = "./log/rcenter_statlog";
    uint32 stat_interval_ms = 60000;
    uint32 inactive_timeout_ms = 10000;  // 0: idle connections are never closed
    uint32 max_fd_num = 1024;
    // A request head (HTTP) or a whole report packet must arrive within this
    // from its first byte; 0: no such bound (the inactivity watch alone).
    uint32 request_timeout_ms = 10000;
    uint32 max_conns_per_addr = 256;  // connections one client address may hold at once
    sint32 shm_key = 0;  // 0: a private segment, gone when the server ends
    uint32 shm_size = 64u * 1024 * 1024;
    bool http_enabled = false;  // http_listen_port present
    uint32 http_listen_port = 0;  // 0: any free port
    std::string http_listen_ip;   // empty: listen_ip
    // The removal secret, never logged; without it every removal is refused.
    bool sig_key_set = false;
    unsigned char sig_key[SIG_SECRET_LEN] = {};  // from sig_key or sig_key_file
    uint32 sig_window_s = 300;
    // The checks of every location: how often each is checked (0: never),
    // the CIDR blocks they may reach beside the public networks, how many
    // run at once and to one host, and how long one may take.
    uint32 check_interval_s = 900;
    std::string check_allow_nets;
    uint32 check_concurrency = 16;
    uint32 check_per_host = 2;
    uint32 check_timeout_ms = 10000;

    rc_config_t() = default;
    rc_config_t(const rc_config_t&) = default;
    rc_config_t& operator=(const rc_config_t&) = default;
    ~rc_config_t() { SigWipe(sig_key, sizeof(sig_key)); }
};

enum {
    RC_MIN_FD_NUM = 8,
    RC_MAX_FD_NUM = 1048576,
    RC_MIN_SHM_SIZE = 65536,
    // The logs keep their file names in 260-byte buffers.
    RC_MAX_LOG_PATH = 259,
    RC_MAX_SIG_WINDOW_S = 86400,
    RC_MIN_DB_TIMEOUT_MS = 100,
    RC_MAX_DB_TIMEOUT_MS = 600000,
    RC_MAX_CHECK_INTERVAL_S = 86400,
    RC_MAX_CHECK_CONCURRENCY = 1024,
    RC_MAX_CHECK_PER_HOST = 64,
    RC_MIN_CHECK_TIMEOUT_MS = 100,
    RC_MAX_CHECK_TIMEOUT_MS = 600000,
};

// Fills oConfig from strPath (defaults for what is absent). 0 on success
// (bMissing tells whether the file did not exist; oWarnings lists unknown
// keys); otherwise an error number with the reason in strError: the system's
// for a file that cannot be read, EINVAL for a bad value or a non-file, EIO
// for a file the reader refused.
int rc_load_config(const std::string& strPath, rc_config_t& oConfig, bool& bMissing,
                   std::vector<std::string>& oWarnings, std::string& strError);

// The store the configuration names: db_url when set, else the file db_path.
rc_store_address_t rc_store_address(const rc_config_t& oConfig);

#endif
