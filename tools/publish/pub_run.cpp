#include "pub_run.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "pub_conn.h"
#include "pub_hasher.h"
#include "pub_scan.h"
#include "pub_state.h"
#include "pub_url.h"
#include "pub_watch.h"
#include "rc_record.h"
#include "report_wire.h"

namespace {

const int kExitOk = 0;
const int kExitFailed = 1;

const int kConnectTimeoutMs = 3000;
// A center that refuses the first connections is not there: a run that has
// not started gives up quickly, one that has started waits for it longer.
const int kFirstAttempts = 3;
const int kRetries = 8;
const int kBackoffFirstMs = 100;
const int kBackoffMaxMs = 3200;
// Requests in flight and no answer for this long: the connection is taken
// as lost, and what it carried is sent again on a new one.
const int kStallMs = 30000;
const int kProgressMs = 250;
const int kFlushMs = 1000;
// A file that left the tree may be a file moving within it: its row waits
// this much longer than the settle delay for the arrival to claim it.
const int kGoneGraceMs = 1000;

int g_iSignalPipe = -1;

void on_stop_signal(int) {
    int iSaved = errno;
    char c = 1;
    ssize_t iIgnored = write(g_iSignalPipe, &c, 1);
    (void)iIgnored;
    errno = iSaved;
}

long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string base_name(const std::string& strRel) {
    std::string::size_type i = strRel.rfind('/');
    return i == std::string::npos ? strRel : strRel.substr(i + 1);
}

bool under(const std::string& strPath, const std::string& strDir) {
    return strDir.empty() || (strPath.size() > strDir.size() && strPath.compare(0, strDir.size(), strDir) == 0 &&
                              strPath[strDir.size()] == '/');
}

struct item_t {
    std::string RelPath;
    pub_stat_t Stat;
    std::string MovedFrom;  // the row it was found under, when it was not read
    rc_digests_t Digests;
};

class CPublisher {
public:
    explicit CPublisher(const pub_options_t& oOpts) : m_oOpts(oOpts), m_oConn(oOpts.Host, oOpts.Port) {}
    ~CPublisher();
    int Run();

private:
    int Prepare();
    int ConnectFirst();
    int FullPass();
    void Classify(const pub_entry_t& oEntry, const std::unordered_set<std::string>* pSeen);
    void Loop();
    bool Done() const;
    int PollTimeout(long long iNow) const;
    void FeedHasher();
    void SendReady();
    void TakeRead();
    void HandleAnswers(const std::vector<pub_answer_t>& oAnswers);
    void ConnectionLost(const std::string& strWhy);
    void Reconnect(long long iNow);
    void GiveUp();
    void WatchEvents(long long iNow);
    void Settle(long long iNow);
    void Progress(long long iNow, bool bClear);
    void Failed(const std::string& strRel, const std::string& strWhy);
    void StateError(const std::string& strWhy);
    std::string Abs(const std::string& strRel) const { return strRel.empty() ? m_strRoot : m_strRoot + "/" + strRel; }
    uint64 NewItem(item_t oItem);

    const pub_options_t& m_oOpts;
    std::string m_strRoot;  // the tree, absolute
    std::vector<std::string> m_oExcludes;
    std::unordered_set<std::string> m_oOwnFiles;  // the state's files, when it is kept inside the tree
    CPubState m_oState;
    CPubConn m_oConn;
    std::unique_ptr<CPubHasher> m_pHasher;
    CPubWatch m_oWatch;
    int m_iWakeFd = -1;
    int m_arSignal[2] = {-1, -1};
    struct sigaction m_arOldAction[2];

    pub_counts_t m_oCounts;
    uint64 m_uiNextId = 0;
    uint32 m_uiSeq = 0;
    std::unordered_map<uint64, item_t> m_oItems;
    std::deque<uint64> m_oToRead;
    std::deque<uint64> m_oToSend;
    std::map<uint32, uint64> m_oInFlight;  // by sequence number, so a resend keeps the order
    std::map<std::string, long long> m_oSettle;    // --watch: files to look at, when
    std::map<std::string, long long> m_oGone;      // --watch: files that went, when to forget them
    std::map<std::string, long long> m_oGoneDirs;  // --watch: folders that went
    bool m_bFullPassDue = false;

    bool m_bStopping = false;
    bool m_bGaveUp = false;
    int m_iFailedConnects = 0;
    long long m_iNextConnect = 0;
    long long m_iLastAnswer = 0;
    long long m_iLastFlush = 0;
    long long m_iLastDraw = 0;
    long long m_iStart = 0;
    bool m_bDrawn = false;
    bool m_bTerminal = false;
    std::string m_strLastWhy;
    bool m_bStateBroken = false;
};

CPublisher::~CPublisher() {
    m_pHasher.reset();
    if (m_iWakeFd >= 0) close(m_iWakeFd);
    if (m_arSignal[0] >= 0) {
        sigaction(SIGTERM, &m_arOldAction[0], nullptr);
        sigaction(SIGINT, &m_arOldAction[1], nullptr);
        g_iSignalPipe = -1;
        close(m_arSignal[0]);
        close(m_arSignal[1]);
    }
}

uint64 CPublisher::NewItem(item_t oItem) {
    uint64 uiId = ++m_uiNextId;
    m_oItems.emplace(uiId, std::move(oItem));
    return uiId;
}

void CPublisher::Failed(const std::string& strRel, const std::string& strWhy) {
    fprintf(stderr, "zq_publish: %s: %s\n", pub_printable(Abs(strRel)).c_str(), strWhy.c_str());
    ++m_oCounts.Failed;
}

void CPublisher::StateError(const std::string& strWhy) {
    if (!m_bStateBroken) fprintf(stderr, "zq_publish: %s\n", strWhy.c_str());
    m_bStateBroken = true;
}

int CPublisher::Prepare() {
    char* pszReal = realpath(m_oOpts.Dir.c_str(), nullptr);
    if (pszReal == nullptr) {
        fprintf(stderr, "zq_publish: %s: %s\n", pub_printable(m_oOpts.Dir).c_str(), strerror(errno));
        return -1;
    }
    m_strRoot = pszReal;
    free(pszReal);
    struct stat st;
    if (stat(m_strRoot.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "zq_publish: %s: not a folder\n", pub_printable(m_oOpts.Dir).c_str());
        return -1;
    }
    m_oExcludes = m_oOpts.Excludes;
    std::string strState = m_oOpts.StatePath, strWhy;
    if (strState.empty()) {
        strState = pub_default_state_path(m_strRoot, m_oOpts.Center, strWhy);
        if (strState.empty()) {
            fprintf(stderr, "zq_publish: %s\n", strWhy.c_str());
            return -1;
        }
    }
    // A state kept inside the tree is not one of its files.
    if (strState[0] != '/') {
        char szCwd[4096];
        if (getcwd(szCwd, sizeof(szCwd)) != nullptr) strState = std::string(szCwd) + "/" + strState;
    }
    if (under(strState, m_strRoot)) {
        std::string strRel = strState.substr(m_strRoot.size() + 1);
        for (const char* pszSuffix : {"", "-wal", "-shm", "-journal"}) m_oOwnFiles.insert(strRel + pszSuffix);
    }
    if (!m_oOpts.DryRun && ConnectFirst() != 0) return -1;
    if (m_oState.Open(strState, !m_oOpts.DryRun, strWhy) != 0) {
        fprintf(stderr, "zq_publish: %s\n", strWhy.c_str());
        return -1;
    }
    m_iWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_iWakeFd < 0 || pipe2(m_arSignal, O_NONBLOCK | O_CLOEXEC) != 0) {
        fprintf(stderr, "zq_publish: %s\n", strerror(errno));
        return -1;
    }
    g_iSignalPipe = m_arSignal[1];
    struct sigaction oAction;
    memset(&oAction, 0, sizeof(oAction));
    oAction.sa_handler = on_stop_signal;
    sigemptyset(&oAction.sa_mask);
    sigaction(SIGTERM, &oAction, &m_arOldAction[0]);
    sigaction(SIGINT, &oAction, &m_arOldAction[1]);
    signal(SIGPIPE, SIG_IGN);
    m_pHasher.reset(new CPubHasher(m_oOpts.Threads, m_iWakeFd));
    if (m_oOpts.Watch && m_oWatch.Open(m_strRoot, strWhy) != 0) {
        fprintf(stderr, "zq_publish: %s\n", strWhy.c_str());
        return -1;
    }
    m_bTerminal = isatty(STDERR_FILENO) == 1;
    return 0;
}

int CPublisher::ConnectFirst() {
    std::string strWhy;
    for (int i = 0; i < kFirstAttempts; ++i) {
        if (i > 0) usleep(static_cast<useconds_t>(kBackoffFirstMs << (i - 1)) * 1000);
        if (m_oConn.Connect(kConnectTimeoutMs, strWhy) == 0) return 0;
    }
    fprintf(stderr, "zq_publish: cannot reach the center %s: %s\n", pub_printable(m_oOpts.Center).c_str(),
            strWhy.c_str());
    return -1;
}

// Lists the tree, decides file by file, and forgets the files that left it.
int CPublisher::FullPass() {
    pub_scan_t oScan;
    std::string strWatchWhy;
    std::function<void(const std::string&)> pfnWatch;
    if (m_oOpts.Watch) {
        pfnWatch = [this, &strWatchWhy](const std::string& strDir) {
            std::string strWhy;
            if (strWatchWhy.empty() && m_oWatch.AddDir(strDir, strWhy) != 0) strWatchWhy = strWhy;
        };
    }
    if (pub_scan(m_strRoot, "", m_oExcludes, oScan, pfnWatch) != 0) {
        fprintf(stderr, "zq_publish: cannot list %s\n", pub_printable(oScan.Unreadable.front()).c_str());
        return -1;
    }
    if (!strWatchWhy.empty()) {
        fprintf(stderr, "zq_publish: %s\n", strWatchWhy.c_str());
        return -1;
    }
    for (const std::string& strWhy : oScan.Unreadable) {
        fprintf(stderr, "zq_publish: cannot list %s\n", pub_printable(strWhy).c_str());
        ++m_oCounts.Failed;
    }
    m_oCounts.Skipped += oScan.Skipped;
    std::unordered_set<std::string> oSeen;
    oSeen.reserve(oScan.Files.size());
    for (const pub_entry_t& oEntry : oScan.Files) oSeen.insert(oEntry.RelPath);
    for (const pub_entry_t& oEntry : oScan.Files) Classify(oEntry, &oSeen);
    if (m_oOpts.DryRun) return 0;
    std::string strWhy;
    for (const std::string& strPath : m_oState.Paths()) {
        if (oSeen.count(strPath) != 0) continue;
        bool bHidden = false;  // under a folder that could not be listed: not known to be gone
        for (const std::string& strDir : oScan.UnreadableDirs) bHidden = bHidden || under(strPath, strDir);
        if (!bHidden && m_oState.Remove(strPath, strWhy) != 0) StateError(strWhy);
    }
    return 0;
}

// pSeen: every file of a full pass; null when one file is looked at alone.
void CPublisher::Classify(const pub_entry_t& oEntry, const std::unordered_set<std::string>* pSeen) {
    if (!m_oOwnFiles.empty() && m_oOwnFiles.count(oEntry.RelPath) != 0) return;
    ++m_oCounts.Files;
    // A modification time not older than the row could hide a change made
    // within the same tick of the file system's clock: such a file is read.
    const pub_row_t* pRow = m_oState.Find(oEntry.RelPath);
    if (pRow != nullptr && pRow->Stat == oEntry.Stat && oEntry.Stat.MtimeNs < pRow->WrittenNs) {
        ++m_oCounts.Unchanged;
        return;
    }
    item_t oItem;
    oItem.RelPath = oEntry.RelPath;
    oItem.Stat = oEntry.Stat;
    std::string strFrom = m_oState.FindInode(oEntry.Stat, oEntry.RelPath);
    if (!strFrom.empty()) {
        struct stat st;
        bool bLeft = pSeen != nullptr ? pSeen->count(strFrom) == 0 : lstat(Abs(strFrom).c_str(), &st) != 0;
        const pub_row_t* pFrom = m_oState.Find(strFrom);
        std::string strWhy;
        if (bLeft && pFrom != nullptr && oEntry.Stat.MtimeNs < pFrom->WrittenNs &&
            m_oState.Digests(strFrom, oItem.Digests, strWhy) == 0 && oItem.Digests.Size == oEntry.Stat.Size) {
            oItem.MovedFrom = strFrom;
            if (m_oOpts.DryRun) {
                printf("%s\n", pub_printable(pub_file_url(m_oOpts.BaseUrl, oEntry.RelPath)).c_str());
                return;
            }
            m_oToSend.push_back(NewItem(std::move(oItem)));
            return;
        }
    }
    if (m_oOpts.DryRun) {
        printf("%s\n", pub_printable(pub_file_url(m_oOpts.BaseUrl, oEntry.RelPath)).c_str());
        return;
    }
    m_oToRead.push_back(NewItem(std::move(oItem)));
}

bool CPublisher::Done() const {
    if (m_bGaveUp) return true;
    bool bIdle = m_oToRead.empty() && m_pHasher->Busy() == 0 && m_oToSend.empty() && m_oInFlight.empty();
    if (!bIdle) return false;
    return !m_oOpts.Watch || m_bStopping;
}

void CPublisher::FeedHasher() {
    // Read ahead of the window, not of the whole tree: digests waiting to be
    // sent hold memory, and a run stopped early reads nothing it cannot send.
    const size_t iAhead = 2 * static_cast<size_t>(m_oOpts.Window) + 2 * m_oOpts.Threads;
    while (!m_bStopping && !m_oToRead.empty() && m_pHasher->Busy() + m_oToSend.size() < iAhead) {
        uint64 uiId = m_oToRead.front();
        m_oToRead.pop_front();
        pub_job_t oJob;
        oJob.Id = uiId;
        oJob.Path = Abs(m_oItems[uiId].RelPath);
        oJob.SizeHint = m_oItems[uiId].Stat.Size;
        m_pHasher->Add(std::move(oJob));
    }
}

void CPublisher::SendReady() {
    while (m_oConn.Connected() && !m_oToSend.empty() && m_oInFlight.size() < m_oOpts.Window) {
        uint64 uiId = m_oToSend.front();
        m_oToSend.pop_front();
        item_t& oItem = m_oItems[uiId];
        RSInfo oInfo;
        fill_rc_info(oItem.Digests, base_name(oItem.RelPath), pub_file_url(m_oOpts.BaseUrl, oItem.RelPath), oInfo);
        DataBuf oBody;
        zq_head_t oHead;
        uint32 uiSeq = ++m_uiSeq;
        if (!pack_rc_request(oInfo, uiSeq, oBody, oHead)) {
            Failed(oItem.RelPath, "its record cannot be packed");
            m_oItems.erase(uiId);
            continue;
        }
        std::string strPacket(reinterpret_cast<const char*>(&oHead), sizeof(oHead));
        strPacket.append(reinterpret_cast<const char*>(oBody.GetBegPnt()), oBody.GetDataLen());
        if (m_oInFlight.empty()) m_iLastAnswer = now_ms();
        m_oConn.Queue(strPacket);
        m_oInFlight[uiSeq] = uiId;
    }
}

void CPublisher::TakeRead() {
    std::vector<pub_done_t> oDone;
    m_pHasher->TakeDone(oDone);
    for (pub_done_t& oFile : oDone) {
        auto it = m_oItems.find(oFile.Id);
        if (it == m_oItems.end()) continue;
        if (m_bGaveUp) {
            m_oItems.erase(it);  // counted as failed when the run gave up
        } else if (oFile.Result == PUB_READ_GONE) {
            // Deleted since the listing: nothing to report, and nothing failed.
            ++m_oCounts.Skipped;
            std::string strWhy;
            if (m_oState.Remove(it->second.RelPath, strWhy) != 0) StateError(strWhy);
            m_oItems.erase(it);
        } else if (oFile.Result != PUB_READ_OK) {
            Failed(it->second.RelPath, oFile.Why + (oFile.Result == PUB_READ_CHANGED ? "; tried again next run" : ""));
            m_oItems.erase(it);
        } else {
            it->second.Stat = oFile.Stat;
            it->second.Digests = std::move(oFile.Digests);
            m_oToSend.push_back(oFile.Id);
        }
    }
}

void CPublisher::HandleAnswers(const std::vector<pub_answer_t>& oAnswers) {
    for (const pub_answer_t& oAnswer : oAnswers) {
        auto jt = m_oInFlight.find(oAnswer.Seq);
        if (jt == m_oInFlight.end()) continue;  // not a request of this connection
        uint64 uiId = jt->second;
        m_oInFlight.erase(jt);
        m_iLastAnswer = now_ms();
        m_iFailedConnects = 0;
        item_t& oItem = m_oItems[uiId];
        std::string strWhy;
        if (oAnswer.Result == RC_RESULT_ACCEPTED || oAnswer.Result == RC_RESULT_KNOWN) {
            (oAnswer.Result == RC_RESULT_ACCEPTED ? m_oCounts.Accepted : m_oCounts.Known)++;
            if (m_oState.Put(oItem.RelPath, oItem.Stat, static_cast<int>(oAnswer.Result), oItem.Digests, strWhy) != 0)
                StateError(strWhy);
            // In a full pass the old row went with the files that left the
            // tree; in the watch it goes once the new one is written.
            struct stat st;
            if (!oItem.MovedFrom.empty() && lstat(Abs(oItem.MovedFrom).c_str(), &st) != 0 &&
                m_oState.Remove(oItem.MovedFrom, strWhy) != 0)
                StateError(strWhy);
        } else if (oAnswer.Result == RC_RESULT_REJECTED) {
            Failed(oItem.RelPath, std::string("rejected by the center: ") + rc_errno_text(oAnswer.Errno));
        } else if (oAnswer.Result == RC_RESULT_NOT_STORED) {
            Failed(oItem.RelPath, std::string("the center could not store it (") + strerror(static_cast<int>(oAnswer.Errno)) +
                                      "); tried again next run");
        } else {
            Failed(oItem.RelPath, "the center answered " + std::to_string(oAnswer.Result) + "/" +
                                      std::to_string(oAnswer.Errno));
        }
        m_oItems.erase(uiId);
    }
}

// Whatever was not answered goes first on the next connection, in the order
// it was sent; nothing is recorded before its answer.
void CPublisher::ConnectionLost(const std::string& strWhy) {
    m_oConn.Close();
    m_strLastWhy = strWhy;
    // A center may close a connection that has been quiet; that is no
    // failure, and the next report opens a new one.
    if (m_oInFlight.empty() && m_oToSend.empty()) return;
    for (auto it = m_oInFlight.rbegin(); it != m_oInFlight.rend(); ++it) m_oToSend.push_front(it->second);
    m_oInFlight.clear();
    ++m_iFailedConnects;
    if (m_iFailedConnects > kRetries) {
        GiveUp();
        return;
    }
    int iDelay = std::min(kBackoffMaxMs, kBackoffFirstMs << std::min(m_iFailedConnects - 1, 10));
    m_iNextConnect = now_ms() + iDelay;
}

void CPublisher::Reconnect(long long iNow) {
    if (m_oConn.Connected() || m_bGaveUp || iNow < m_iNextConnect) return;
    if (m_oToSend.empty() && m_oInFlight.empty()) return;  // nothing to say yet
    std::string strWhy;
    if (m_oConn.Connect(kConnectTimeoutMs, strWhy) != 0) ConnectionLost(strWhy);
}

void CPublisher::GiveUp() {
    m_bGaveUp = true;
    uint64 uiLeft = m_oToRead.size() + m_oToSend.size() + m_oInFlight.size() + m_pHasher->Busy();
    fprintf(stderr, "zq_publish: lost the center %s (%s) and could not reconnect; %llu files not reported\n",
            pub_printable(m_oOpts.Center).c_str(), m_strLastWhy.c_str(), static_cast<unsigned long long>(uiLeft));
    m_oCounts.Failed += uiLeft;
    m_oToRead.clear();
    m_oToSend.clear();
    m_oInFlight.clear();
}

void CPublisher::WatchEvents(long long iNow) {
    std::vector<pub_watch_event_t> oEvents;
    m_oWatch.Read(oEvents);
    const long long iDue = iNow + m_oOpts.SettleMs;
    for (const pub_watch_event_t& oEvent : oEvents) {
        if (oEvent.Kind != PUB_WATCH_OVERFLOW && pub_excluded_path(m_oExcludes, oEvent.RelPath)) continue;
        switch (oEvent.Kind) {
            case PUB_WATCH_FILE_READY:
                m_oSettle[oEvent.RelPath] = iDue;
                break;
            case PUB_WATCH_FILE_GONE:
                m_oGone[oEvent.RelPath] = iDue + kGoneGraceMs;
                break;
            case PUB_WATCH_DIR_NEW: {
                // Files may have landed before the watch did: list it now.
                pub_scan_t oScan;
                pub_scan(m_strRoot, oEvent.RelPath, m_oExcludes, oScan, [this](const std::string& strDir) {
                    std::string strWhy;
                    if (m_oWatch.AddDir(strDir, strWhy) != 0) fprintf(stderr, "zq_publish: %s\n", strWhy.c_str());
                });
                for (const pub_entry_t& oEntry : oScan.Files) m_oSettle[oEntry.RelPath] = iDue;
                m_oCounts.Skipped += oScan.Skipped;
                break;
            }
            case PUB_WATCH_DIR_GONE:
                m_oWatch.DropTree(oEvent.RelPath);
                m_oGoneDirs[oEvent.RelPath] = iDue + kGoneGraceMs;
                break;
            case PUB_WATCH_OVERFLOW:
                m_bFullPassDue = true;
                break;
        }
    }
}

void CPublisher::Settle(long long iNow) {
    std::string strWhy;
    for (auto it = m_oSettle.begin(); it != m_oSettle.end();) {
        if (it->second > iNow) {
            ++it;
            continue;
        }
        struct stat st;
        if (lstat(Abs(it->first).c_str(), &st) == 0 && S_ISREG(st.st_mode)) Classify({it->first, pub_stat_t::Of(st)}, nullptr);
        it = m_oSettle.erase(it);
    }
    for (auto it = m_oGone.begin(); it != m_oGone.end();) {
        if (it->second > iNow) {
            ++it;
            continue;
        }
        struct stat st;
        if (lstat(Abs(it->first).c_str(), &st) != 0 && m_oState.Remove(it->first, strWhy) != 0) StateError(strWhy);
        it = m_oGone.erase(it);
    }
    for (auto it = m_oGoneDirs.begin(); it != m_oGoneDirs.end();) {
        if (it->second > iNow) {
            ++it;
            continue;
        }
        for (const std::string& strPath : m_oState.Paths()) {
            struct stat st;
            if (under(strPath, it->first) && lstat(Abs(strPath).c_str(), &st) != 0 &&
                m_oState.Remove(strPath, strWhy) != 0)
                StateError(strWhy);
        }
        it = m_oGoneDirs.erase(it);
    }
}

int CPublisher::PollTimeout(long long iNow) const {
    long long iNext = iNow + kProgressMs;
    if (!m_oConn.Connected() && !m_oToSend.empty()) iNext = std::min(iNext, std::max(iNow, m_iNextConnect));
    for (const auto* pQueue : {&m_oSettle, &m_oGone, &m_oGoneDirs}) {
        for (const auto& oDue : *pQueue) iNext = std::min(iNext, oDue.second);
    }
    return static_cast<int>(std::max(0LL, iNext - iNow));
}

void CPublisher::Progress(long long iNow, bool bClear) {
    if (!m_bTerminal) return;
    if (bClear) {
        if (m_bDrawn) fputs("\r\033[K", stderr);
        m_bDrawn = false;
        return;
    }
    if (iNow - m_iLastDraw < kProgressMs || iNow - m_iStart < kProgressMs) return;
    m_iLastDraw = iNow;
    double dMb = static_cast<double>(m_pHasher->BytesRead()) / 1e6;
    double dSecs = static_cast<double>(iNow - m_iStart) / 1000.0;
    fprintf(stderr, "\r\033[Kzq_publish: %llu files, %llu reported, %.1f MB read, %.1f MB/s",
            static_cast<unsigned long long>(m_oCounts.Files), static_cast<unsigned long long>(m_oCounts.Reported()),
            dMb, dSecs > 0 ? dMb / dSecs : 0.0);
    m_bDrawn = true;
}

void CPublisher::Loop() {
    std::vector<pub_answer_t> oAnswers;
    while (!Done()) {
        long long iNow = now_ms();
        if (m_bFullPassDue && !m_bStopping) {
            m_bFullPassDue = false;
            FullPass();
        }
        FeedHasher();
        Reconnect(iNow);
        SendReady();
        if (m_oConn.Connected() && !m_oInFlight.empty() && iNow - m_iLastAnswer > kStallMs) {
            ConnectionLost("no answer for " + std::to_string(kStallMs / 1000) + " s");
            continue;
        }
        if (Done()) break;

        struct pollfd arFds[4];
        nfds_t n = 0;
        arFds[n++] = {m_iWakeFd, POLLIN, 0};
        arFds[n++] = {m_arSignal[0], POLLIN, 0};
        int iConn = -1, iWatch = -1;
        if (m_oConn.Connected()) {
            iConn = static_cast<int>(n);
            arFds[n++] = {m_oConn.Fd(), m_oConn.WantEvents(), 0};
        }
        if (m_oOpts.Watch && !m_bStopping) {
            iWatch = static_cast<int>(n);
            arFds[n++] = {m_oWatch.Fd(), POLLIN, 0};
        }
        int iReady = poll(arFds, n, PollTimeout(iNow));
        if (iReady < 0 && errno != EINTR) {
            fprintf(stderr, "zq_publish: poll: %s\n", strerror(errno));
            GiveUp();
            break;
        }
        iNow = now_ms();
        if (arFds[1].revents & POLLIN) {
            char arBuf[16];
            while (read(m_arSignal[0], arBuf, sizeof(arBuf)) > 0) {
            }
            // What is in flight and what is being read is finished; nothing new starts.
            m_bStopping = true;
            m_oToRead.clear();
            m_oSettle.clear();
        }
        if (arFds[0].revents & POLLIN) {
            uint64 uiCount;
            ssize_t iIgnored = read(m_iWakeFd, &uiCount, sizeof(uiCount));
            (void)iIgnored;
        }
        TakeRead();
        if (iConn >= 0 && arFds[iConn].revents != 0) {
            oAnswers.clear();
            std::string strWhy;
            int iResult = m_oConn.OnEvents(arFds[iConn].revents, oAnswers, strWhy);
            HandleAnswers(oAnswers);
            if (iResult != 0) ConnectionLost(strWhy);
        }
        if (iWatch >= 0 && (arFds[iWatch].revents & POLLIN)) WatchEvents(iNow);
        if (m_oOpts.Watch && !m_bStopping) Settle(iNow);
        if (iNow - m_iLastFlush >= kFlushMs) {
            std::string strWhy;
            if (m_oState.Flush(strWhy) != 0) StateError(strWhy);
            m_iLastFlush = iNow;
        }
        Progress(iNow, false);
    }
}

int CPublisher::Run() {
    if (Prepare() != 0) return kExitFailed;
    m_iStart = now_ms();
    m_iLastAnswer = m_iStart;
    m_iLastFlush = m_iStart;
    if (FullPass() != 0) return kExitFailed;
    if (!m_oOpts.DryRun) Loop();
    Progress(now_ms(), true);
    std::string strWhy;
    if (!m_oOpts.DryRun && m_oState.Flush(strWhy) != 0) StateError(strWhy);
    printf("%s\n", pub_summary_line(m_oOpts.Dir, m_oCounts).c_str());
    if (fflush(stdout) != 0) return kExitFailed;
    if (m_bStateBroken) return kExitFailed;
    if (m_oOpts.Watch && m_bStopping && !m_bGaveUp) return kExitOk;
    return m_oCounts.Failed == 0 ? kExitOk : kExitFailed;
}

}  // namespace

std::string pub_summary_line(const std::string& strDir, const pub_counts_t& oCounts) {
    char szLine[512];
    snprintf(szLine, sizeof(szLine),
             ": %llu files, %llu reported (%llu accepted, %llu already known), %llu unchanged, %llu skipped, "
             "%llu failed",
             static_cast<unsigned long long>(oCounts.Files), static_cast<unsigned long long>(oCounts.Reported()),
             static_cast<unsigned long long>(oCounts.Accepted), static_cast<unsigned long long>(oCounts.Known),
             static_cast<unsigned long long>(oCounts.Unchanged), static_cast<unsigned long long>(oCounts.Skipped),
             static_cast<unsigned long long>(oCounts.Failed));
    return pub_printable(strDir) + szLine;
}

int pub_run(const pub_options_t& oOpts) {
    CPublisher oPublisher(oOpts);
    return oPublisher.Run();
}
