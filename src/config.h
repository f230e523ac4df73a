// The tool's main configuration, read once at start from "./main.conf" into
// g_config, and the set-up of the three process logs from it. Every key but
// rc_ip and rc_port has a default; only g_config outlives load_main_conf.
#ifndef ZQ_CONFIG_H
#define ZQ_CONFIG_H

#include <cstdint>

#include "simd_level.h"

struct stConfig {
    enum {
        PATH_SIZE = 4096,
        IP_SIZE = 64,
    };

    char err_log_path[PATH_SIZE];
    int err_log_level;
    char visit_log_path[PATH_SIZE];
    uint32_t rotate_file_size;
    uint32_t rotate_file_num;
    char stat_log_path[PATH_SIZE];
    char file_path[PATH_SIZE];
    int task_timeout_ms;
    int package_length;
    // 0: identify the file in one fast pass; any other number: the three
    // throttled passes.
    int digest_throttle;
    // Threads of the fast pass, 1 to 4 (a number out of range is brought into it).
    int digest_threads;
    // Vector kernels of the fast pass: auto, portable, avx2 or avx512. A level
    // this processor lacks is replaced by the widest it has, an unknown text
    // by auto, each with a warning line.
    ESimdLevel digest_simd;
    char rc_ip[IP_SIZE];
    int rc_port;

    // 0 on success. -1 when the file cannot be read (a line on standard output,
    // nothing logged) or the server address is missing or unusable (a fatal
    // line in the error log, which is already set up by then).
    int load_main_conf(const char* p_main_path);
    // Resets g_ErrLog, g_StatisLog and g_VisitLog and gives them their files.
    int init_log();
};

extern stConfig g_config;

#endif
