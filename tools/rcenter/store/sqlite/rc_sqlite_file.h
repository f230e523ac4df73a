// The SQLite store's care of its files, apart from its data: the
// directories above db_path (made and synced into their parents), a WAL
// left without its database (set aside, never lost), the new database file
// made and its name synced, and the file identity that tells a database
// replaced under the server. Errors: 0 or the system's errno value, with
// the reason (the path included) in strError. No state; any thread.
#ifndef ZQ_RC_SQLITE_FILE_H
#define ZQ_RC_SQLITE_FILE_H

#include <sys/types.h>

#include <string>

// Which file a path names, so a later look tells a replaced one.
struct rc_file_id_t {
    dev_t Dev = 0;
    ino_t Ino = 0;
};

// Readies strPath for a writer: its directories made (each new one synced
// into its parent), and when the database is missing, an orphaned WAL set
// aside beside it (left in place, with the error, when it cannot be), then
// the empty database created and its directory synced.
int rc_sqlite_prepare_path(const std::string& strPath, std::string& strError);

// Sets a WAL that has no database aside beside it (strAside gets its new
// name); an empty one, holding no commit, is removed. ENOENT when there is
// none. A WAL that cannot be set aside is left where it is.
int rc_sqlite_set_wal_aside(const std::string& strPath, std::string& strAside, std::string& strError);

// The identity of the file at strPath; the system's error when there is none.
int rc_sqlite_file_id(const std::string& strPath, rc_file_id_t& oId);
bool rc_sqlite_same_file(const rc_file_id_t& a, const rc_file_id_t& b);

#endif
