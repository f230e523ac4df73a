#include "rc_store_factory.h"

#include <cerrno>

#include "rc_pg_store.h"
#include "rc_sqlite_store.h"

int rc_make_store(const stRcConfig& oConfig, std::unique_ptr<CRcStore>& pStore, std::string& strError) {
    pStore.reset();
    if (!oConfig.db_url.empty()) {
        pStore.reset(new CRcPgStore(oConfig.db_url, oConfig.db_timeout_ms));
        return 0;
    }
    if (oConfig.db_path.empty()) {
        strError = "no store configured (db_path is empty)";
        return EINVAL;
    }
    pStore.reset(new CRcSqliteStore(oConfig.db_path));
    return 0;
}

int rc_open_store(const stRcConfig& oConfig, ERcStoreMode nMode, std::unique_ptr<CRcStore>& pStore,
                  std::string& strError) {
    int iErr = rc_make_store(oConfig, pStore, strError);
    if (iErr != 0) return iErr;
    iErr = pStore->Open(nMode, strError);
    if (iErr != 0) pStore.reset();
    return iErr;
}
