// pub_run: one zq_publish run over a tree: list it, decide per file from the
// state whether it must be read, read what must be in parallel, report over
// one connection with a window of requests matched by sequence number,
// record what the center answered 0 or 1, and (--watch) keep following the
// tree. Prints warnings on standard error, a progress line when standard
// error is a terminal, and the summary line last on standard output. Returns
// the exit status: 0 when no file failed, 1 otherwise or when the center or
// the state could not be used at all.
#ifndef ZQ_PUB_RUN_H
#define ZQ_PUB_RUN_H

#include <string>
#include <vector>

#include "common_header.h"

struct pub_options_t {
    std::string Dir;       // as given: the summary line names it so
    std::string Center;    // HOST:PORT as given
    std::string Host;
    unsigned short Port = 0;
    std::string BaseUrl;
    std::string StatePath;  // empty: the default for Dir and Center
    unsigned int Threads = 1;
    unsigned int Window = 64;
    std::vector<std::string> Excludes;
    bool DryRun = false;
    bool Watch = false;
    unsigned int SettleMs = 500;  // --watch: quiet time before a written file is read
};

struct pub_counts_t {
    uint64 Files = 0;
    uint64 Accepted = 0;
    uint64 Known = 0;
    uint64 Unchanged = 0;
    uint64 Skipped = 0;
    uint64 Failed = 0;
    uint64 Reported() const { return Accepted + Known; }
};

// "DIR: N files, R reported (A accepted, K already known), U unchanged, S skipped, F failed"
std::string pub_summary_line(const std::string& strDir, const pub_counts_t& oCounts);

int pub_run(const pub_options_t& oOpts);

#endif
