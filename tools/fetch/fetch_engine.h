// The download loop: one libcurl multi handle and up to Connections easy
// handles, each bound to a mirror and asking it for one piece-aligned range
// at a time (Range requests). Every piece is checked against the table's
// MD5 as it completes and only then written; a mirror that misbehaves is
// dropped with one line on standard error saying why, and its pieces go to
// the others. Runs on the calling thread until every piece is written, no
// mirror can deliver what is left, or a write fails.
#ifndef ZQ_FETCH_ENGINE_H
#define ZQ_FETCH_ENGINE_H

#include <string>
#include <vector>

#include "common_header.h"
#include "fetch_file.h"
#include "fetch_plan.h"
#include "tpt_verify.h"

struct fetch_opts_t {
    unsigned int Connections = 4;
    unsigned int PerMirror = 2;
    long StallSeconds = 30;
    bool Progress = false;  // a self-updating line on standard error
    // Only for tests against a local TLS mirror with its own certificate
    // authority (a file in PEM form); empty: the system's.
    std::string CaFile;
};

struct fetch_result_t {
    enum EOutcome { COMPLETE, INCOMPLETE, WRITE_FAILED } Outcome = INCOMPLETE;
    uint64 BytesFetched = 0;      // body bytes received, good or bad
    uint32 PiecesWritten = 0;
    uint32 BadPieces = 0;
    std::vector<uint32> Missing;  // pieces no mirror delivered intact
    std::string Why;              // the write error, for WRITE_FAILED
};

// Fetches the pieces oPlan still wants from oUrls into oFile.
fetch_result_t fetch_run(const std::vector<std::string>& oUrls, const tpt_table_t& oTable, CFetchPlan& oPlan,
                         CFetchFile& oFile, const fetch_opts_t& oOpts);

#endif
