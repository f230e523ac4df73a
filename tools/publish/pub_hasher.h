// CPubHasher: the threads that read the files zq_publish reports, one file
// per thread at a time through the one-pass digests (a large file on up to
// three threads, as zq_ident reads it), small files a batch at a time with
// their digests side by side. A file whose version (size, times,
// inode) differs after its reading from before gives PUB_READ_CHANGED and no
// digests. The caller is woken through an eventfd when finished files wait.
// Add, TakeDone and Busy are for one thread (the caller's); the destructor
// drops what has not started and joins the threads.
#ifndef ZQ_PUB_HASHER_H
#define ZQ_PUB_HASHER_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common_header.h"
#include "pub_state.h"
#include "rc_digests.h"

enum {
    PUB_READ_OK = 0,
    PUB_READ_FAILED = -1,   // missing, unreadable or no longer a regular file; Why says which
    PUB_READ_CHANGED = -2,  // its size, times or inode changed while it was read
    PUB_READ_GONE = -3,     // deleted before it could be read
};

struct pub_job_t {
    uint64 Id = 0;
    std::string Path;  // as open() takes it
    // The size the listing saw: small files are read in batches. A file
    // that grew since is still read whole, by the one pass.
    uint64 SizeHint = 0;
};

struct pub_done_t {
    uint64 Id = 0;
    int Result = PUB_READ_OK;
    std::string Why;
    pub_stat_t Stat;  // what lstat gave before the reading
    rc_digests_t Digests;
};

class CPubHasher {
public:
    // uiThreads at least 1; iWakeFd an eventfd, written when the first
    // finished file of a batch is waiting.
    CPubHasher(unsigned int uiThreads, int iWakeFd);
    ~CPubHasher();
    CPubHasher(const CPubHasher&) = delete;
    CPubHasher& operator=(const CPubHasher&) = delete;

    void Add(pub_job_t oJob);
    // Moves every finished file into oOut.
    void TakeDone(std::vector<pub_done_t>& oOut);
    // Files added and not yet taken back.
    size_t Busy() const;
    // Bytes read so far, for the progress line.
    uint64 BytesRead() const;

    // One file, on the calling thread; what a worker does. Every block read
    // is added to *pBytes as it comes, when pBytes is not null.
    static void ReadOne(const pub_job_t& oJob, unsigned int uiThreads, pub_done_t& oDone,
                        std::atomic<uint64>* pBytes = nullptr);
    // Small files together, each as ReadOne would give it, into oDone (as
    // many as oJobs); the bytes of the files read to *pBytes at the end.
    static void ReadSmall(const std::vector<pub_job_t>& oJobs, std::vector<pub_done_t>& oDone,
                          std::atomic<uint64>* pBytes = nullptr);

private:
    void Work();

    const unsigned int m_uiThreads;
    const int m_iWakeFd;
    mutable std::mutex m_oMutex;
    std::condition_variable m_oWork;
    std::deque<pub_job_t> m_oQueue;
    std::vector<pub_done_t> m_oDone;
    size_t m_iBusy = 0;
    // Bytes read, the blocks of a large file as they come, so that the
    // progress line moves while one file takes minutes.
    std::atomic<uint64> m_uiBytes{0};
    bool m_bStop = false;
    std::vector<std::thread> m_oThreads;
};

#endif
