// The shared store's tables in PostgreSQL and their versions. Writers call
// rc_pg_migrate, which brings the database to RC_PG_SCHEMA_VERSION in one
// transaction under an advisory lock, so centers started at once apply each
// step once; readers call rc_pg_check, which changes nothing. A database of a
// newer version is refused with ENOTSUP, one without the tables with ENOENT.
// Both give the store's identity: its random id, made with its first
// version, and its generation, which every migrate (every open for writing)
// raises.
#ifndef ZQ_RC_PG_SCHEMA_H
#define ZQ_RC_PG_SCHEMA_H

#include <string>

#include "common_header.h"
#include "rc_pg_conn.h"
#include "rc_store.h"

enum : uint32 {
    // 2: the trigram index of location names, the index of MD4s.
    // 3: every location's health (zq_rc_health).
    RC_PG_SCHEMA_VERSION = 3,
};

// The channel every center listens on; a payload is a FID in hex, or "*"
// for everything.
extern const char* const RC_PG_FORGET_CHANNEL;

int rc_pg_migrate(CRcPgConn& oConn, rc_store_identity_t& oIdentity, std::string& strError);
int rc_pg_check(CRcPgConn& oConn, rc_store_identity_t& oIdentity, std::string& strError);

#endif
