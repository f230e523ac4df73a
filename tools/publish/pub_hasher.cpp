#include "pub_hasher.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "onepass.h"
#include "simd_level.h"

namespace {

// Above this a file is read on several threads; below, files in parallel
// keep the threads busier than one file could.
const unsigned long long kLargeFile = 32ULL << 20;
// zq_ident's choice: more than three threads find nothing to do.
const unsigned int kLargeFileThreads = 3;
// One MD4 chunk: a file no larger has no chunk lanes, so nothing about its
// disk changes how it is read.
const unsigned long long kOneChunk = 9728000ULL;
// Bytes of small files one batch holds in memory at most.
const uint64 kBatchBytes = 8ULL << 20;

}  // namespace

CPubHasher::CPubHasher(unsigned int uiThreads, int iWakeFd)
    : m_uiThreads(std::max(1U, uiThreads)), m_iWakeFd(iWakeFd) {
    // Signals stay with the caller's thread, which waits for them in poll.
    sigset_t oAll, oOld;
    sigfillset(&oAll);
    pthread_sigmask(SIG_SETMASK, &oAll, &oOld);
    for (unsigned int i = 0; i < m_uiThreads; ++i) m_oThreads.emplace_back(&CPubHasher::Work, this);
    pthread_sigmask(SIG_SETMASK, &oOld, nullptr);
}

CPubHasher::~CPubHasher() {
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_bStop = true;
        m_oQueue.clear();
    }
    m_oWork.notify_all();
    for (std::thread& oThread : m_oThreads) oThread.join();
}

void CPubHasher::Add(pub_job_t oJob) {
    {
        std::lock_guard<std::mutex> oLock(m_oMutex);
        m_oQueue.push_back(std::move(oJob));
        ++m_iBusy;
    }
    m_oWork.notify_one();
}

void CPubHasher::TakeDone(std::vector<pub_done_t>& oOut) {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    for (pub_done_t& oDone : m_oDone) oOut.push_back(std::move(oDone));
    m_iBusy -= m_oDone.size();
    m_oDone.clear();
}

size_t CPubHasher::Busy() const {
    std::lock_guard<std::mutex> oLock(m_oMutex);
    return m_iBusy;
}

uint64 CPubHasher::BytesRead() const { return m_uiBytes.load(); }

void CPubHasher::Work() {
    std::unique_lock<std::mutex> oLock(m_oMutex);
    while (true) {
        m_oWork.wait(oLock, [this] { return m_bStop || !m_oQueue.empty(); });
        if (m_bStop) return;
        // Small files go in batches, so that their digests fill the lanes.
        std::vector<pub_job_t> oJobs;
        uint64 uiBatchBytes = 0;
        do {
            uiBatchBytes += m_oQueue.front().SizeHint;
            oJobs.push_back(std::move(m_oQueue.front()));
            m_oQueue.pop_front();
        } while (oJobs.back().SizeHint <= ONEPASS_SMALL_FILE && oJobs.size() < ONEPASS_SMALL_BATCH &&
                 !m_oQueue.empty() && m_oQueue.front().SizeHint <= ONEPASS_SMALL_FILE &&
                 uiBatchBytes + m_oQueue.front().SizeHint <= kBatchBytes);
        oLock.unlock();
        std::vector<pub_done_t> oDone(oJobs.size());
        if (oJobs.size() == 1 && oJobs[0].SizeHint > ONEPASS_SMALL_FILE) {
            ReadOne(oJobs[0], m_uiThreads, oDone[0], &m_uiBytes);
        } else {
            ReadSmall(oJobs, oDone, &m_uiBytes);
        }
        oLock.lock();
        // The caller takes every finished file at once: one wake-up per
        // batch, not per file, keeps small files from costing a switch each.
        bool bWake = m_oDone.empty();
        for (pub_done_t& oFile : oDone) m_oDone.push_back(std::move(oFile));
        if (bWake) {
            uint64 uiOne = 1;
            ssize_t iIgnored = write(m_iWakeFd, &uiOne, sizeof(uiOne));
            (void)iIgnored;
        }
    }
}

namespace {

// What lstat says before the reading; false with oDone's result set when
// there is nothing to read.
bool LookBefore(const pub_job_t& oJob, struct stat& stBefore, pub_done_t& oDone) {
    oDone.Id = oJob.Id;
    if (lstat(oJob.Path.c_str(), &stBefore) != 0) {
        oDone.Result = errno == ENOENT ? PUB_READ_GONE : PUB_READ_FAILED;
        oDone.Why = strerror(errno);
        return false;
    }
    if (!S_ISREG(stBefore.st_mode)) {
        oDone.Result = PUB_READ_FAILED;
        oDone.Why = "no longer a regular file";
        return false;
    }
    return true;
}

void TakeResult(const pub_job_t& oJob, const struct stat& stBefore, int iResult, stFileDigests& oFile,
                pub_done_t& oDone) {
    if (iResult == ONEPASS_SIZE_CHANGED) {
        oDone.Result = PUB_READ_CHANGED;
        oDone.Why = "it changed while it was read";
        return;
    }
    if (iResult != ONEPASS_OK) {
        oDone.Result = PUB_READ_FAILED;
        oDone.Why = iResult == ONEPASS_NO_MEMORY ? "out of memory" : "cannot read it";
        int fd = open(oJob.Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) oDone.Why = strerror(errno);
        else close(fd);
        return;
    }
    // The digests compared the file's version before and after its read; a
    // change between the lstat and the open leaves an older stat in the
    // state than the bytes read, which only makes the next run read it again.
    oDone.Stat = pub_stat_t::Of(stBefore);
    if (oFile.Size != static_cast<unsigned long long>(stBefore.st_size)) {
        oDone.Result = PUB_READ_CHANGED;
        oDone.Why = "it changed while it was read";
        return;
    }
    oDone.Digests.MD4 = Md5Hash(oFile.Md4, sizeof(oFile.Md4));
    oDone.Digests.Hash = Sha1Hash(oFile.Sha1, sizeof(oFile.Sha1));
    oDone.Digests.Size = oFile.Size;
    oDone.Digests.Pieces = std::move(oFile.Pieces);
}

// Adds each block's bytes to a shared count as the one pass reads it.
class CBytesSeen : public CDigestProgress {
public:
    explicit CBytesSeen(std::atomic<uint64>* pTotal) : m_pTotal(pTotal) {}
    void OnDigestProgress(unsigned long long uiDone, unsigned long long) override {
        *m_pTotal += uiDone - m_uiSeen;
        m_uiSeen = uiDone;
    }

private:
    std::atomic<uint64>* m_pTotal;
    unsigned long long m_uiSeen = 0;
};

}  // namespace

void CPubHasher::ReadOne(const pub_job_t& oJob, unsigned int uiThreads, pub_done_t& oDone,
                         std::atomic<uint64>* pBytes) {
    struct stat stBefore;
    if (!LookBefore(oJob, stBefore, oDone)) return;
    const unsigned long long uiSize = static_cast<unsigned long long>(stBefore.st_size);
    stOnePassOpts oOpts;
    oOpts.uiThreads = uiSize >= kLargeFile ? std::min(uiThreads, kLargeFileThreads) : 1;
    // A small file in a 1 MiB ring would cost a large allocation per file.
    if (uiSize < ONEPASS_BLOCK_SIZE) oOpts.uiBlockSize = static_cast<unsigned int>(std::max(4096ULL, (uiSize + 4095) & ~4095ULL));
    // How the read order is chosen only matters for files of several MD4
    // chunks; below that, asking the disk per file would cost more than the read.
    oOpts.eSimd = uiSize <= kOneChunk ? SimdResolve(SIMD_AUTO) : SIMD_AUTO;
    CBytesSeen oSeen(pBytes);
    if (pBytes != nullptr) oOpts.pProgress = &oSeen;
    stFileDigests oFile;
    int iResult = GetFileDigests(oJob.Path, oOpts, oFile);
    TakeResult(oJob, stBefore, iResult, oFile, oDone);
}

void CPubHasher::ReadSmall(const std::vector<pub_job_t>& oJobs, std::vector<pub_done_t>& oDone,
                           std::atomic<uint64>* pBytes) {
    std::vector<struct stat> oBefore(oJobs.size());
    std::vector<size_t> oLooked;
    std::vector<std::string> oNames;
    for (size_t i = 0; i < oJobs.size(); ++i) {
        if (!LookBefore(oJobs[i], oBefore[i], oDone[i])) continue;
        oLooked.push_back(i);
        oNames.push_back(oJobs[i].Path);
    }
    std::vector<int> oResults;
    std::vector<stFileDigests> oFiles;
    GetSmallFileDigests(oNames, SimdResolve(SIMD_AUTO), oResults, oFiles);
    for (size_t k = 0; k < oLooked.size(); ++k) {
        const size_t i = oLooked[k];
        if (pBytes != nullptr && oResults[k] == ONEPASS_OK) *pBytes += oFiles[k].Size;
        TakeResult(oJobs[i], oBefore[i], oResults[k], oFiles[k], oDone[i]);
    }
}
