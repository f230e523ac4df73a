// Copying one store of record into another (SQLite to PostgreSQL and back),
// so a center that outgrew its file moves without losing a record. The copy
// converges: it adds what the destination lacks (locations in the source's
// order, counts and last-seen times up to the source's) and changes nothing
// it already holds, so running it again, or after an interrupted run, is
// safe. rc_store_digest names a store's content (every location with its
// resource's fields and counts, in store order) so two stores can be
// compared. Errors: 0 or an errno value with the reason in strError.
#ifndef ZQ_RC_STORE_COPY_H
#define ZQ_RC_STORE_COPY_H

#include <string>

#include "rc_store.h"

struct rc_store_copy_t {
    uint64 Reports = 0;  // locations written to the destination
    uint64 Tallies = 0;  // resources whose count or last-seen time was raised
};

// The destination's (FID, URL) pairs are held in memory while it runs.
int rc_store_copy(CRcStore& oFrom, CRcStore& oTo, rc_store_copy_t& oDone, std::string& strError);

// The SHA-1, in hex, of the store's rows; oCounts its counts.
int rc_store_digest(CRcStore& oStore, std::string& strDigest, rc_store_counts_t& oCounts, std::string& strError);

#endif
