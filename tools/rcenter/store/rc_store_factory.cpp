#include "rc_store_factory.h"

#include <cerrno>

#include "rc_pg_conn.h"
#include "rc_pg_store.h"
#include "rc_sqlite_store.h"

bool rc_store_is_shared(const std::string& strAddress) { return rc_pg_is_url(strAddress); }

std::string rc_store_shown(const std::string& strAddress) {
    return rc_pg_is_url(strAddress) ? rc_pg_mask(strAddress) : strAddress;
}

int rc_make_store(const rc_store_address_t& oWhere, std::unique_ptr<CRcStore>& pStore, std::string& strError) {
    pStore.reset();
    if (oWhere.Address.empty()) {
        strError = "no store configured (db_path is empty)";
        return EINVAL;
    }
    if (rc_pg_is_url(oWhere.Address)) {
        pStore.reset(new CRcPgStore(oWhere.Address, oWhere.TimeoutMs));
    } else {
        pStore.reset(new CRcSqliteStore(oWhere.Address));
    }
    return 0;
}

int rc_open_store(const rc_store_address_t& oWhere, ERcStoreMode nMode, std::unique_ptr<CRcStore>& pStore,
                  std::string& strError) {
    int iErr = rc_make_store(oWhere, pStore, strError);
    if (iErr != 0) return iErr;
    iErr = pStore->Open(nMode, strError);
    if (iErr != 0) pStore.reset();
    return iErr;
}
