// The one place that names a backend: a store from its address, a
// PostgreSQL connection string (postgresql:// URI or key=value pairs) for the
// shared store of several centers, anything else a SQLite file's path.
// zq_rcenter and zq_lookup both ask here, so a new backend needs no change in
// either. rc_make_store only builds the backend; the caller opens it
// (CRcStore::Open) in the mode it needs.
#ifndef ZQ_RC_STORE_FACTORY_H
#define ZQ_RC_STORE_FACTORY_H

#include <memory>
#include <string>

#include "common_header.h"
#include "rc_store.h"

struct rc_store_address_t {
    std::string Address;
    uint32 TimeoutMs = 5000;  // a shared store: the longest any call waits for it
};

// Whether strAddress names a shared (PostgreSQL) store rather than a file.
bool rc_store_is_shared(const std::string& strAddress);

// strAddress fit for a log or a terminal: a shared store's password masked.
std::string rc_store_shown(const std::string& strAddress);

// 0 with pStore set, or EINVAL (an empty address) with the reason in strError.
int rc_make_store(const rc_store_address_t& oWhere, std::unique_ptr<CRcStore>& pStore, std::string& strError);

// rc_make_store, then Open in nMode.
int rc_open_store(const rc_store_address_t& oWhere, ERcStoreMode nMode, std::unique_ptr<CRcStore>& pStore,
                  std::string& strError);

#endif
