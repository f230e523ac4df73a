// zq_publish DIR: reports every regular file under DIR to a center, with the
// record datareport would send for it and a URL under --base-url, over one
// connection; remembers what was answered so that a later run reads and
// sends only what changed, and with --watch keeps following the tree.
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cmd_line.h"
#include "pub_run.h"
#include "pub_url.h"
#include "str_util.h"

namespace {

const int kExitOk = 0;

// Reports in flight: past a few hundred the center's queue, not the
// round trips, sets the pace.
const unsigned long long kMaxWindow = 4096;
const unsigned long long kMaxThreads = 256;

void print_usage(FILE* pOut) {
    fputs("usage: zq_publish [OPTIONS] --center HOST:PORT --base-url URL DIR\n"
          "       zq_publish --help | --version\n"
          "  reports every regular file under DIR to the center, each with the\n"
          "  record datareport would send and the URL URL/<its path under DIR>;\n"
          "  files unchanged since they were last answered are not read again\n"
          "  --center HOST:PORT  the center (HOST: IPv4, a name or [IPv6])\n"
          "  --base-url URL      the URL DIR is published under\n"
          "  --state FILE        what was reported (default: one file per DIR and\n"
          "                      center under $XDG_STATE_HOME/zq_publish/, else\n"
          "                      ~/.local/state/zq_publish/)\n"
          "  --threads N         files read at once (default: the usable processors)\n"
          "  --window N          reports in flight, 1 to 4096 (default 64)\n"
          "  --exclude GLOB      leave out matching files and folders (a GLOB with a\n"
          "                      '/' matches the path under DIR, one without the\n"
          "                      name); repeatable\n"
          "  --dry-run           print the URL of every file that would be reported\n"
          "  --watch             after the first pass, keep reporting files as they\n"
          "                      are written or moved in, until SIGTERM or SIGINT\n"
          "  exit: 0 every file reported or unchanged, 1 a file or the center\n"
          "  failed, 2 usage\n",
          pOut);
}

unsigned int usable_cpus() {
    cpu_set_t oSet;
    if (sched_getaffinity(0, sizeof(oSet), &oSet) == 0 && CPU_COUNT(&oSet) > 0)
        return static_cast<unsigned int>(CPU_COUNT(&oSet));
    long lOnline = sysconf(_SC_NPROCESSORS_ONLN);
    return lOnline > 0 ? static_cast<unsigned int>(lOnline) : 1;
}

enum : int {
    OPT_CENTER = 0x100,
    OPT_BASE_URL,
    OPT_STATE,
    OPT_THREADS,
    OPT_WINDOW,
    OPT_EXCLUDE,
    OPT_DRY_RUN,
    OPT_WATCH,
};

// 0 to go on, otherwise the exit status (-1: help or version was printed).
int parse_args(int argc, char** argv, pub_options_t& oOpts) {
    CCmdLine oLine("zq_publish",
                   {{"center", required_argument, nullptr, OPT_CENTER},
                    {"base-url", required_argument, nullptr, OPT_BASE_URL},
                    {"state", required_argument, nullptr, OPT_STATE},
                    {"threads", required_argument, nullptr, OPT_THREADS},
                    {"window", required_argument, nullptr, OPT_WINDOW},
                    {"exclude", required_argument, nullptr, OPT_EXCLUDE},
                    {"dry-run", no_argument, nullptr, OPT_DRY_RUN},
                    {"watch", no_argument, nullptr, OPT_WATCH}},
                   print_usage);
    const char* pszValue = nullptr;
    unsigned long long iValue = 0;
    oOpts.Threads = 0;
    for (int iOpt; (iOpt = oLine.Next(argc, argv, pszValue)) != CCmdLine::OPT_END;) {
        switch (iOpt) {
            case CCmdLine::OPT_EXIT:
                return oLine.Finished();
            case OPT_CENTER: {
                std::string strWhy;
                oOpts.Center = pszValue;
                if (pub_parse_center(oOpts.Center, oOpts.Host, oOpts.Port, strWhy) != 0)
                    return oLine.Fail("--center " + pub_printable(oOpts.Center) + ": " + strWhy);
                break;
            }
            case OPT_BASE_URL:
                if (pszValue[0] == '\0') return oLine.Fail("--base-url takes a URL");
                oOpts.BaseUrl = pszValue;
                break;
            case OPT_STATE:
                if (pszValue[0] == '\0') return oLine.Fail("--state takes a file name");
                oOpts.StatePath = pszValue;
                break;
            case OPT_THREADS:
                if (ParseDecimal(pszValue, kMaxThreads, &iValue) != 0 || iValue < 1)
                    return oLine.Fail("--threads takes a number from 1 to " + std::to_string(kMaxThreads));
                oOpts.Threads = static_cast<unsigned int>(iValue);
                break;
            case OPT_WINDOW:
                if (ParseDecimal(pszValue, kMaxWindow, &iValue) != 0 || iValue < 1)
                    return oLine.Fail("--window takes a number from 1 to " + std::to_string(kMaxWindow));
                oOpts.Window = static_cast<unsigned int>(iValue);
                break;
            case OPT_EXCLUDE:
                if (pszValue[0] == '\0') return oLine.Fail("--exclude takes a pattern");
                oOpts.Excludes.push_back(pszValue);
                break;
            case OPT_DRY_RUN:
                oOpts.DryRun = true;
                break;
            case OPT_WATCH:
                oOpts.Watch = true;
                break;
        }
    }
    if (argc - oLine.FirstOperand() != 1) return oLine.Fail("one DIR is expected");
    oOpts.Dir = argv[oLine.FirstOperand()];
    if (oOpts.Dir.empty()) return oLine.Fail("DIR is empty");
    if (oOpts.Center.empty()) return oLine.Fail("--center HOST:PORT is required");
    if (oOpts.BaseUrl.empty()) return oLine.Fail("--base-url URL is required");
    if (oOpts.DryRun && oOpts.Watch) return oLine.Fail("--dry-run and --watch exclude each other");
    if (oOpts.Threads == 0) oOpts.Threads = usable_cpus();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    pub_options_t oOpts;
    int iParse = parse_args(argc, argv, oOpts);
    if (iParse < 0) return kExitOk;
    if (iParse > 0) return iParse;
    return pub_run(oOpts);
}
