// CRcStore: what the resource center needs of its store of record, with no
// backend's type in it; each backend (rc_sqlite_store...) implements it and
// rc_store_factory picks one from the configuration. Every call blocks until
// it is done and is made from one thread at a time: the store thread of the
// server (rc_store_worker), or zq_lookup and the tests directly. Errors: 0
// or a positive errno value, with the reason in strError (paths and library
// messages included, so it goes to the log, never to a peer). Results are
// the caller's; nothing returned refers into the store.
#ifndef ZQ_RC_STORE_H
#define ZQ_RC_STORE_H

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "common_header.h"
#include "hashval.h"

enum : uint32 {
    // zq_lookup --recent and FindRecent take at most this many.
    RC_STORE_RECENT_MAX = 10000,
    // Locations in one page of FindFidPage, so one answer stays bounded.
    RC_STORE_PAGE_MAX = 1000,
    // Rows one read transaction of the export holds at most.
    RC_STORE_EXPORT_CHUNK = 256,
};

// What the checks found of a location (tools/rcenter/mirrors fetches one
// piece of it by Range and compares the piece's MD5). A location never
// checked, or read from a store older than the checks, is unchecked.
enum ERcHealthState : uint8 {
    RC_HEALTH_UNCHECKED = 0,
    RC_HEALTH_OK = 1,
    RC_HEALTH_WRONG_CONTENT = 2,  // another size or another piece
    RC_HEALTH_MISSING = 3,        // 404 or 410
    RC_HEALTH_UNREACHABLE = 4,    // no answer, a timeout, a 5xx, a TLS failure, a redirect loop
    RC_HEALTH_NOT_ALLOWED = 5,    // a private address, or a scheme other than http(s); never fetched
    RC_HEALTH_STATES = 6,
};
// Whether a location honoured a range, as far as a check saw.
enum ERcRanges : sint8 {
    RC_RANGES_UNKNOWN = -1,
    RC_RANGES_NO = 0,   // answered 200 with the whole file
    RC_RANGES_YES = 1,
};

// The state's name in the store's texts, JSON, the page and the metrics.
const char* rc_health_state_name(ERcHealthState nState);
// Its inverse; false for a name that is none of them.
bool rc_health_state_parse(const std::string& strName, ERcHealthState& nState);
// Whether a client may be sent there: never to wrong content, a missing
// file or a dead host; a location not checked (or refused to the checker
// only) is given after the ok ones.
inline bool rc_health_usable(ERcHealthState nState) {
    return nState == RC_HEALTH_OK || nState == RC_HEALTH_UNCHECKED || nState == RC_HEALTH_NOT_ALLOWED;
}

struct rc_health_t {
    ERcHealthState State = RC_HEALTH_UNCHECKED;
    sint64 CheckedAt = 0;  // seconds since the epoch; 0 never
    sint64 OkAt = 0;       // the last check that found it ok; 0 never
    uint32 Failures = 0;   // checks in a row that did not find it ok
    uint32 LatencyMs = 0;  // of the last check, to its last byte
    ERcRanges Ranges = RC_RANGES_UNKNOWN;
};

enum : uint32 {
    // The longest wait between two checks of a failing location.
    RC_HEALTH_BACKOFF_MAX_S = 86400,
};

// When the location is due again after a check that left it in oHealth:
// an interval after an ok check; after a failing one the interval doubled
// for each failure in a row past the first, at most RC_HEALTH_BACKOFF_MAX_S
// (never less than the interval).
sint64 rc_health_next_due(const rc_health_t& oHealth, uint32 iIntervalS);

// One URL a resource was reported from, with the texts of that report.
struct rc_location_t {
    std::string Url;
    std::string FileName;
    std::string ExtName;
    std::string Ref;
    sint64 FirstSeen = 0;  // seconds since the epoch, UTC
    // The store's order of locations, rising: the cursor of pages and of the
    // export. 0 in a location not read from a store.
    uint64 Id = 0;
    // Read with the resource's locations (FindFid and the other look-ups);
    // left unchecked by ReadLocations, the export.
    rc_health_t Health;
};

// A stored resource: every field of the reported record, the piece table
// included, with its locations in the order they were first reported.
struct rc_resource_t {
    Sha1Hash FID;
    Sha1Hash SID;
    Sha1Hash Hash;  // SHA-1 of the whole file
    Md5Hash MD4;
    uint64 Size = 0;
    std::vector<unsigned char> Tpt;
    sint64 FirstSeen = 0;
    sint64 LastSeen = 0;
    uint64 Count = 0;  // reports of this FID answered accepted or already known
    std::vector<rc_location_t> Locations;
};

enum ERcStoreMode {
    RC_STORE_WRITE,  // creates the store (and its schema) when missing, upgrades an older one
    RC_STORE_READ,   // the store must exist and hold our schema; nothing is written
    // The checker's: the store must exist at this program's schema (the
    // writer opened it first); only the health calls write, and the open
    // raises no generation, so the dedup cache's keys stay valid.
    RC_STORE_HEALTH,
};

// What a committed report did to the store.
enum ERcStored {
    RC_STORED_NEW,       // a FID not known before: the resource and its first location
    RC_STORED_LOCATION,  // a known FID from a new URL: one more location
    RC_STORED_KNOWN,     // this FID from this URL was there: count and last-seen time only
};

struct rc_store_counts_t {
    uint64 Resources = 0;
    uint64 Locations = 0;
    uint64 Reports = 0;  // the sum of the resources' counts
};

// One report to write, received at Now.
struct rc_store_report_t {
    rc_resource_t Resource;  // Locations ignored
    rc_location_t Where;
    sint64 Now = 0;
};

// Repeats of one FID the server answered "already known" from its cache:
// added to the count, LastSeen raising the last-seen time.
struct rc_store_tally_t {
    Sha1Hash FID;
    uint64 Count = 0;
    sint64 LastSeen = 0;
};

// What one commit writes, in one transaction.
struct rc_store_batch_t {
    std::vector<rc_store_report_t> Reports;
    std::vector<rc_store_tally_t> Tallies;
};

// One report's outcome: Errno 0 and what it did (Stored), or that report's
// own failure (Errno, Error) with nothing of it written while the others of
// its batch were.
struct rc_report_outcome_t {
    int Errno = 0;
    ERcStored Stored = RC_STORED_NEW;
    std::string Error;
};

// What the dedup cache's keys stand for: a store's Id is made with it and
// never changes, so a store made afresh has another; Generation is raised by
// every open for writing. Previous is the generation the store held before
// this open raised it: a cache that did not see that one last holds answers
// for a state of the store it did not see.
struct rc_store_identity_t {
    std::string Id;
    uint64 Generation = 0;
    uint64 Previous = 0;
};

// Keys the server must forget because the store changed beside it (another
// center removed a resource): every (FID, URL) pair named here.
struct rc_store_forget_t {
    Sha1Hash FID;
    std::vector<std::string> Urls;
};

// What a list of resources shows of each, without its piece table or its
// locations, so a page of them is cheap to read.
struct rc_resource_entry_t {
    Sha1Hash FID;
    Sha1Hash Hash;  // SHA-1 of the whole file
    uint64 Size = 0;
    sint64 FirstSeen = 0;
    uint64 Count = 0;
    // The name of its first location; in a name search, of the first whose
    // name matched.
    std::string FileName;
    // The store's order of resources, rising with their first report: the
    // cursor of the pages of ListRecent and SearchNames.
    uint64 Id = 0;
};

enum : uint32 {
    // Characters (not bytes) a name search needs: shorter texts cannot be
    // answered from a trigram index.
    RC_STORE_NAME_MIN = 3,
};

// A location a checker claimed, with what its check needs.
struct rc_check_job_t {
    uint64 LocationId = 0;
    std::string Url;
    uint64 Size = 0;
    std::vector<unsigned char> Tpt;  // the resource's piece table
    rc_health_t Health;              // as the last check left it
};

// What a check found: the location's health now and when it is due again.
struct rc_check_result_t {
    uint64 LocationId = 0;
    rc_health_t Health;
    sint64 DueAt = 0;
};

// Locations in each state (ERcHealthState order).
struct rc_health_counts_t {
    uint64 States[RC_HEALTH_STATES] = {};
};

class CRcStore {
public:
    virtual ~CRcStore() {}

    // Opens the store the backend was made for. 0, ENOTSUP for a store of a
    // newer schema or of another program (left as it is), ENOENT for a
    // missing one in RC_STORE_READ, or the system's error.
    virtual int Open(ERcStoreMode nMode, std::string& strError) = 0;
    // Idempotent; also done by the destructor.
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;
    // Names the store in log lines (a path, a URL without its password).
    virtual std::string Describe() const = 0;
    // Valid while open; may change after a call that reopened the store.
    virtual rc_store_identity_t GetIdentity() const = 0;

    // Writes the batch in one transaction and syncs it before it returns.
    // 0: oOutcomes holds one outcome per report, in order (a report whose
    // own write failed is rolled back alone), and every tally is written.
    // Otherwise the batch's error: nothing of it is written, tallies
    // included, and oOutcomes is empty. EBADF when opened for reading.
    virtual int Commit(const rc_store_batch_t& oBatch, std::vector<rc_report_outcome_t>& oOutcomes,
                       std::string& strError) = 0;

    // Every resource with that key, each with every location; none found is
    // 0 with oOut empty.
    virtual int FindFid(const Sha1Hash& oFid, std::vector<rc_resource_t>& oOut, std::string& strError) = 0;
    virtual int FindSid(const Sha1Hash& oSid, std::vector<rc_resource_t>& oOut, std::string& strError) = 0;
    virtual int FindSha1(const Sha1Hash& oHash, std::vector<rc_resource_t>& oOut, std::string& strError) = 0;
    // The resource of oFid with at most iLimit (1 to RC_STORE_PAGE_MAX, else
    // EINVAL) of its locations whose Id is above iAfter, read in one
    // snapshot. bFound false when the FID is not stored. iNext: the Id to
    // pass as iAfter for the next page, 0 when no location follows.
    virtual int FindFidPage(const Sha1Hash& oFid, uint32 iLimit, uint64 iAfter, rc_resource_t& oOut, bool& bFound,
                            uint64& iNext, std::string& strError) = 0;
    // The iLimit (1 to RC_STORE_RECENT_MAX, else EINVAL) resources first
    // seen last, newest first, each with its locations, handed to fn as they
    // are read; fn returns false to stop.
    virtual int FindRecent(uint32 iLimit, const std::function<bool(const rc_resource_t&)>& fn,
                           std::string& strError) = 0;
    // At most iLimit locations whose Id is above iAfter, in Id order, each
    // with its resource (Locations left empty), read in one short read
    // transaction. Fewer than iLimit (none included) means the end.
    virtual int ReadLocations(uint64 iAfter, uint32 iLimit, std::vector<rc_resource_t>& oResources,
                              std::vector<rc_location_t>& oLocations, std::string& strError) = 0;
    virtual int GetCounts(rc_store_counts_t& oCounts, std::string& strError) = 0;
    // Deletes the resource and its locations; *pRemoved (when not null) gets
    // what was deleted, every location included, so the caller can forget
    // it in its cache. bFound false when it was not there. EBADF when opened
    // for reading.
    virtual int Remove(const Sha1Hash& oFid, bool& bFound, rc_resource_t* pRemoved, std::string& strError) = 0;

    // Listings, newest first (Id falling): at most iLimit (1 to
    // RC_STORE_PAGE_MAX, else EINVAL) entries whose Id is below iAfter (0:
    // from the newest), read in one snapshot. iNext: the Id to pass as
    // iAfter for the next page, 0 when nothing follows. A backend that
    // cannot list answers ENOTSUP.
    virtual int ListRecent(uint32 iLimit, uint64 iAfter, std::vector<rc_resource_entry_t>& oOut, uint64& iNext,
                           std::string& strError) {
        (void)iLimit, (void)iAfter, (void)iNext;
        oOut.clear();
        strError = Describe() + ": this store cannot list resources";
        return ENOTSUP;
    }
    // The same over the resources with a location whose reported file name
    // contains strText (UTF-8, at least RC_STORE_NAME_MIN characters, else
    // EINVAL), ignoring case; answered from an index, never by reading every
    // name. ENOTSUP when the store has no such index.
    virtual int SearchNames(const std::string& strText, uint32 iLimit, uint64 iAfter,
                            std::vector<rc_resource_entry_t>& oOut, uint64& iNext, std::string& strError) {
        (void)strText, (void)iLimit, (void)iAfter, (void)iNext;
        oOut.clear();
        strError = Describe() + ": this store cannot search names";
        return ENOTSUP;
    }
    // Every resource with that MD4, like FindSha1. ENOTSUP when unsupported.
    virtual int FindMd4(const Md5Hash& oMd4, std::vector<rc_resource_t>& oOut, std::string& strError) {
        (void)oMd4;
        oOut.clear();
        strError = Describe() + ": this store cannot look up an MD4";
        return ENOTSUP;
    }

    // Claims at most iLimit locations due at iNow (never checked, or due
    // since), the longest due first, and makes each due again at iNextDue,
    // so a checker that dies leaves them for the next round. Between
    // checkers on one store each due location goes to one of them. EBADF
    // when opened for reading, ENOTSUP for a store without health.
    virtual int ClaimDue(sint64 iNow, uint32 iLimit, sint64 iNextDue, std::vector<rc_check_job_t>& oOut,
                         std::string& strError) {
        (void)iNow, (void)iLimit, (void)iNextDue;
        oOut.clear();
        strError = Describe() + ": this store keeps no health";
        return ENOTSUP;
    }
    // Writes the results in one transaction; a location removed meanwhile
    // is skipped.
    virtual int RecordHealth(const std::vector<rc_check_result_t>& oResults, std::string& strError) {
        (void)oResults;
        strError = Describe() + ": this store keeps no health";
        return ENOTSUP;
    }
    // Every location counted by its state.
    virtual int CountHealth(rc_health_counts_t& oCounts, std::string& strError) {
        oCounts = rc_health_counts_t();
        strError = Describe() + ": this store keeps no health";
        return ENOTSUP;
    }

    // Housekeeping between jobs: makes sure the handle still names the store
    // the configuration names (a file replaced under the server is opened
    // afresh). 0 when the store can be used; GetIdentity may change.
    virtual int Refresh(std::string& strError) {
        (void)strError;
        return 0;
    }

    // Work a backend defers from its commits, done by the store thread when
    // no job waits, a bounded share per call; bMore: call again.
    virtual int Housekeep(bool& bMore, std::string& strError) {
        (void)strError;
        bMore = false;
        return 0;
    }

    // A backend that learns of changes made beside it (another server on the
    // same store) exposes a descriptor that is readable when it has some;
    // the store thread then, and after every job, calls TakeForgets. -1: none.
    virtual int EventFd() const { return -1; }
    // Moves the keys to forget into oForgets; bAll set when the backend
    // cannot tell them (after a reconnect, say) and the whole cache must go.
    virtual void TakeForgets(std::vector<rc_store_forget_t>& oForgets, bool& bAll) {
        oForgets.clear();
        bAll = false;
    }
};

// The characters of a name search's text as RC_STORE_NAME_MIN counts them:
// UTF-8 code points (each byte that does not continue a sequence).
size_t rc_store_name_chars(const std::string& strText);

// Every location in Id order, handed to fn with its resource, read in
// transactions of RC_STORE_EXPORT_CHUNK rows so that a slow fn holds no
// snapshot; fn returns false to stop. A location added during the walk may
// be seen or not.
int rc_store_for_each_location(CRcStore& oStore,
                               const std::function<bool(const rc_resource_t&, const rc_location_t&)>& fn,
                               std::string& strError);

#endif
