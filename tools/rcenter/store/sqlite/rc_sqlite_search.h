// The SQLite store's listings: the most recent resources, and the name
// search, answered from an FTS5 table with the trigram tokenizer over every
// location's file name. The index lives in the database with the triggers
// that keep it, so every writer of the file keeps it whole; it is added (and
// filled) at an open for writing that finds it missing, in one transaction.
// Errors: 0 or an errno value (rc_store_errno), the reason in strError
// behind strWhere. Borrows the connection; the caller's thread.
#ifndef ZQ_RC_SQLITE_SEARCH_H
#define ZQ_RC_SQLITE_SEARCH_H

#include <string>
#include <vector>

#include "rc_store.h"

struct sqlite3;

// Makes the name index and the MD4 index unless every part of them is there
// (a part missing, say after the location table was rebuilt, remakes both).
// Not inside a transaction of the caller's.
int rc_sqlite_add_name_index(sqlite3* pDb, const std::string& strWhere, std::string& strError);

// Whether the name index is whole in the file; for a reader, which cannot add it.
int rc_sqlite_has_name_index(sqlite3* pDb, bool& bHas, const std::string& strWhere, std::string& strError);

// Whether rows above the name index's mark wait to be indexed.
int rc_sqlite_names_pending(sqlite3* pDb, bool& bPending, const std::string& strWhere, std::string& strError);

// Adds up to iMax locations above the name index's mark to the index and
// moves the mark past them; bMore: rows above it remain. Inside the
// caller's write transaction. Until then a search finds them by a scan.
int rc_sqlite_index_names(sqlite3* pDb, uint32 iMax, bool& bMore, const std::string& strWhere,
                          std::string& strError);

// After rows were deleted: the mark comes down to the highest row left at
// most, as a new row takes the number after it, which may be one the mark
// had passed.
int rc_sqlite_names_after_delete(sqlite3* pDb, const std::string& strWhere, std::string& strError);

// CRcStore::ListRecent (pText null) or CRcStore::SearchNames (*pText);
// bCountsApart: the counts are in resource_count (schema version 2 on), not
// in the resource row.
int rc_sqlite_list(sqlite3* pDb, bool bCountsApart, const std::string* pText, uint32 iLimit, uint64 iAfter,
                   std::vector<rc_resource_entry_t>& oOut, uint64& iNext, const std::string& strWhere,
                   std::string& strError);

#endif
