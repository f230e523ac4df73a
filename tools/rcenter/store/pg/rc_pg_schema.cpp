#include "rc_pg_schema.h"

#include <cerrno>

#include "svr_log.h"

const char* const RC_PG_FORGET_CHANNEL = "zq_rc_forget";

namespace {

// Taken for the migration's transaction only: any number the other users of
// a shared database are unlikely to pick.
const char* const kLockSql = "SELECT pg_advisory_xact_lock(4715022660431301)";

const char* const kMetaSql = "CREATE TABLE IF NOT EXISTS zq_rc_meta (key text PRIMARY KEY, value text NOT NULL)";

// Step n brings version n - 1 to n; index 0 is version 1.
// Texts reported by clients are any bytes, so they are bytea, and a URL may
// be longer than an index entry, so locations are unique by its digest. The
// piece table is stored out of line and never compressed (digests do not
// compress), so counting a repeat rewrites the small row only.
const char* const kSteps[] = {
    "CREATE TABLE zq_rc_resource ("
    " id bigserial PRIMARY KEY,"
    " fid text NOT NULL UNIQUE,"
    " sid text NOT NULL,"
    " sha1 text NOT NULL,"
    " md4 text NOT NULL,"
    " size bigint NOT NULL,"
    " tpt bytea NOT NULL,"
    " first_seen bigint NOT NULL,"
    " last_seen bigint NOT NULL,"
    " report_count bigint NOT NULL);"
    "ALTER TABLE zq_rc_resource ALTER COLUMN tpt SET STORAGE EXTERNAL;"
    "CREATE INDEX zq_rc_resource_sid ON zq_rc_resource (sid);"
    "CREATE INDEX zq_rc_resource_sha1 ON zq_rc_resource (sha1);"
    "CREATE TABLE zq_rc_location ("
    " id bigserial PRIMARY KEY,"
    " resource_id bigint NOT NULL REFERENCES zq_rc_resource (id) ON DELETE CASCADE,"
    " url bytea NOT NULL,"
    " file bytea NOT NULL,"
    " ext bytea NOT NULL,"
    " ref bytea NOT NULL,"
    " first_seen bigint NOT NULL);"
    "CREATE UNIQUE INDEX zq_rc_location_url ON zq_rc_location (resource_id, sha256(url));"
    "INSERT INTO zq_rc_meta VALUES ('store_id', md5(random()::text || clock_timestamp()::text))"
    " ON CONFLICT DO NOTHING",
    // Names are searched by trigrams of their text. A reported name is any
    // bytes: one that is not UTF-8 is indexed as its escaped form rather than
    // failing the insert of its report.
    "CREATE EXTENSION IF NOT EXISTS pg_trgm;"
    "CREATE FUNCTION zq_rc_name(b bytea) RETURNS text LANGUAGE plpgsql IMMUTABLE STRICT PARALLEL SAFE AS $$"
    " BEGIN RETURN convert_from(b, 'UTF8'); EXCEPTION WHEN others THEN RETURN encode(b, 'escape'); END $$;"
    "CREATE INDEX zq_rc_location_name ON zq_rc_location USING gin (zq_rc_name(file) gin_trgm_ops);"
    "CREATE INDEX zq_rc_resource_md4 ON zq_rc_resource (md4)",
    // What the checks found of each location, in a row of its own so a check
    // rewrites a few numbers, not the location and its name index. Every
    // location has one, made with it, so the due ones are an index range
    // that checkers claim row by row (FOR UPDATE SKIP LOCKED).
    "CREATE TABLE zq_rc_health ("
    " location_id bigint PRIMARY KEY REFERENCES zq_rc_location (id) ON DELETE CASCADE,"
    " state smallint NOT NULL DEFAULT 0,"
    " checked_at bigint NOT NULL DEFAULT 0,"
    " ok_at bigint NOT NULL DEFAULT 0,"
    " failures integer NOT NULL DEFAULT 0,"
    " latency_ms integer NOT NULL DEFAULT 0,"
    " ranges smallint NOT NULL DEFAULT -1,"
    " due_at bigint NOT NULL DEFAULT 0);"
    "CREATE INDEX zq_rc_health_due ON zq_rc_health (due_at);"
    "INSERT INTO zq_rc_health (location_id) SELECT id FROM zq_rc_location;"
    "CREATE FUNCTION zq_rc_health_new() RETURNS trigger LANGUAGE plpgsql AS $$"
    " BEGIN INSERT INTO zq_rc_health (location_id) VALUES (NEW.id); RETURN NULL; END $$;"
    "CREATE TRIGGER zq_rc_location_health AFTER INSERT ON zq_rc_location"
    " FOR EACH ROW EXECUTE FUNCTION zq_rc_health_new()",
};

static_assert(sizeof(kSteps) / sizeof(kSteps[0]) == RC_PG_SCHEMA_VERSION, "one step per schema version");

const char* const kReadMeta =
    "SELECT key, value FROM zq_rc_meta WHERE key IN ('schema_version', 'store_id', 'generation')";

sint64 ReadMeta(const CRcPgResult& oMeta, rc_store_identity_t& oIdentity) {
    sint64 iVersion = 0;
    oIdentity = rc_store_identity_t();
    for (int i = 0; i < oMeta.Rows(); ++i) {
        std::string strKey = oMeta.Text(i, 0);
        if (strKey == "schema_version") iVersion = oMeta.Int(i, 1);
        if (strKey == "store_id") oIdentity.Id = oMeta.Text(i, 1);
        if (strKey == "generation") oIdentity.Generation = static_cast<uint64>(oMeta.Int(i, 1));
    }
    oIdentity.Previous = oIdentity.Generation;
    return iVersion;
}

int Newer(sint64 iVersion, std::string& strError) {
    strError = "schema version " + std::to_string(iVersion) + " is newer than this program's " +
               std::to_string(RC_PG_SCHEMA_VERSION) + "; refusing to use it";
    return ENOTSUP;
}

}  // namespace

int rc_pg_migrate(CRcPgConn& oConn, rc_store_identity_t& oIdentity, std::string& strError) {
    std::vector<CRcPgResult> oResults;
    int iErr = oConn.Run({{"BEGIN", {}}, {kLockSql, {}}, {kMetaSql, {}}, {kReadMeta, {}}}, oResults, strError);
    sint64 iVersion = 0;
    if (iErr == 0) {
        iVersion = ReadMeta(oResults[3], oIdentity);
        if (iVersion > RC_PG_SCHEMA_VERSION) iErr = Newer(iVersion, strError);
    }
    if (iErr == 0) {
        std::vector<rc_pg_query_t> oSteps;
        // A pipeline carries one statement per query, so a step is split at
        // its semicolons, except those of a function body between $$ (no
        // step has one inside a literal).
        for (sint64 v = iVersion; v < RC_PG_SCHEMA_VERSION; ++v) {
            const std::string strStep = kSteps[v];
            size_t iStart = 0;
            bool bInBody = false;
            for (size_t i = 0; i <= strStep.size(); ++i) {
                if (i + 1 < strStep.size() && strStep[i] == '$' && strStep[i + 1] == '$') {
                    bInBody = !bInBody;
                    ++i;
                    continue;
                }
                if (i < strStep.size() && (strStep[i] != ';' || bInBody)) continue;
                if (i > iStart) oSteps.push_back({strStep.substr(iStart, i - iStart), {}});
                iStart = i + 1;
            }
        }
        oSteps.push_back({"INSERT INTO zq_rc_meta VALUES ('schema_version', $1)"
                          " ON CONFLICT (key) DO UPDATE SET value = excluded.value",
                          {std::to_string(RC_PG_SCHEMA_VERSION)}});
        oSteps.push_back({"INSERT INTO zq_rc_meta VALUES ('generation', '1')"
                          " ON CONFLICT (key) DO UPDATE SET value = (zq_rc_meta.value::bigint + 1)::text",
                          {}});
        oSteps.push_back({kReadMeta, {}});
        oSteps.push_back({"COMMIT", {}});
        uint64 iPrevious = oIdentity.Generation;
        iErr = oConn.Run(oSteps, oResults, strError);
        if (iErr == 0) {
            ReadMeta(oResults[oSteps.size() - 2], oIdentity);
            oIdentity.Previous = iPrevious;
            if (iVersion < RC_PG_SCHEMA_VERSION)
                LOG_INFO("store: the database is now at schema version %u (was %lld)", RC_PG_SCHEMA_VERSION,
                         static_cast<long long>(iVersion));
        }
    }
    if (iErr != 0 && oConn.IsOpen()) {
        std::string strIgnored;
        oConn.Run({{"ROLLBACK", {}}}, oResults, strIgnored);
    }
    return iErr;
}

int rc_pg_check(CRcPgConn& oConn, rc_store_identity_t& oIdentity, std::string& strError) {
    CRcPgResult oMeta;
    int iErr = oConn.Exec(kReadMeta, {}, oMeta, strError);
    if (iErr != 0 && oConn.SqlState() == "42P01") {
        strError = "no resource store in this database";
        return ENOENT;
    }
    if (iErr != 0) return iErr;
    sint64 iVersion = ReadMeta(oMeta, oIdentity);
    if (iVersion > RC_PG_SCHEMA_VERSION) return Newer(iVersion, strError);
    if (iVersion < 1) {
        strError = "no resource store in this database";
        return ENOENT;
    }
    if (iVersion < RC_PG_SCHEMA_VERSION) {
        strError = "schema version " + std::to_string(iVersion) + " is older than this program's; a center upgrades it";
        return ENOTSUP;
    }
    return 0;
}
