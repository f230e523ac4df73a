// The one place that chooses the store of record from the configuration:
// the PostgreSQL database of db_url when it is set, else the SQLite file at
// db_path. zq_rcenter and zq_lookup both ask here, so a new backend needs no
// change in either. rc_make_store only builds the backend; the caller opens
// it (CRcStore::Open) in the mode it needs.
#ifndef ZQ_RC_STORE_FACTORY_H
#define ZQ_RC_STORE_FACTORY_H

#include <memory>
#include <string>

#include "rc_config.h"
#include "rc_store.h"

// 0 with pStore set, or EINVAL (the configuration names no usable store)
// with the reason in strError.
int rc_make_store(const stRcConfig& oConfig, std::unique_ptr<CRcStore>& pStore, std::string& strError);

// rc_make_store, then Open in nMode.
int rc_open_store(const stRcConfig& oConfig, ERcStoreMode nMode, std::unique_ptr<CRcStore>& pStore,
                  std::string& strError);

#endif
