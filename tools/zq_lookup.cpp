// zq_lookup: prints what the resource center's store holds about a file, by
// FID, SID, SHA-1 or as the most recently seen ones, or the whole store as
// journal lines, or copies it into another store (SQLite and PostgreSQL
// either way). It only reads the --db store, and may run while zq_rcenter
// writes it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cmd_line.h"
#include "rc_record_format.h"
#include "rc_store.h"
#include "rc_store_copy.h"
#include "rc_store_factory.h"
#include "str_util.h"

namespace {

const int kExitFound = 0;
const int kExitNotFound = 1;
const int kExitError = 2;

const char* const kDefaultDb = "./data/rcenter.db";

enum ELookup { LOOKUP_NONE, LOOKUP_FID, LOOKUP_SID, LOOKUP_SHA1, LOOKUP_RECENT, LOOKUP_EXPORT, LOOKUP_NAME, LOOKUP_COPY };

struct lookup_options_t {
    std::string strDb = kDefaultDb;
    bool bJson = false;
    ERcRecordShow nShow = RC_RECORD_PLAIN;
    std::string strTptOut;
    ELookup nLookup = LOOKUP_NONE;
    Sha1Hash oKey;
    uint32 iRecent = 0;
    std::string strName;
    std::string strCopyTo;
};

void print_usage(FILE* pOut) {
    fputs("usage: zq_lookup [--db PATH] [--json] [--health] [--tpt-out FILE] (FID | --sid SID | --sha1 HEX | --recent N |\n"
          "                                                   --name TEXT)\n"
          "       zq_lookup [--db PATH] --export-tsv\n"
          "       zq_lookup --db FROM --copy-to TO\n"
          "       zq_lookup --help | --version\n"
          "  prints the stored records: the values zq_ident prints, then first_seen,\n"
          "  last_seen, count and every location the file was reported from\n"
          "  --db PATH       the store (default ./data/rcenter.db): a SQLite file, or a\n"
          "                  PostgreSQL postgresql:// URI or key=value connection string\n"
          "  --json          one JSON object per record and line\n"
          "  --health        each location with what the center's checks found of it\n"
          "                  (state, last check, last ok, failures, latency, ranges)\n"
          "  --tpt-out FILE  also writes the record's stored piece table to FILE\n"
          "  --recent N      the N records first seen last, newest first (N at most 10000)\n"
          "  --name TEXT     the records with a reported file name containing TEXT\n"
          "                  (at least 3 characters, any case), newest first\n"
          "  --export-tsv    every accepted report as its journal line, oldest first\n"
          "  --copy-to TO    adds to store TO (a path or a URI, made when missing) what\n"
          "                  it lacks of --db, then compares the two by counts and digest\n"
          "  exit status: 0 found, 1 not found, 2 usage or database error\n",
          pOut);
}

// Whether the store was read (iErr) and standard output took every byte;
// says why not on standard error.
bool output_ok(int iErr, const std::string& strError, bool bWriteOk) {
    if (iErr != 0) {
        fprintf(stderr, "zq_lookup: %s\n", strError.c_str());
        return false;
    }
    if (!bWriteOk || fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "zq_lookup: cannot write the output: %s\n", strerror(errno));
        return false;
    }
    return true;
}

bool parse_hex(const std::string& strText, Sha1Hash& oHash) {
    return BinBufFromHexExact(oHash.cVal, sizeof(oHash.cVal), strText.data(), strText.size()) == 0;
}

enum : int {
    OPT_DB = 0x100,
    OPT_JSON,
    OPT_HEALTH,
    OPT_TPT_OUT,
    OPT_SID,
    OPT_SHA1,
    OPT_RECENT,
    OPT_EXPORT,
    OPT_NAME,
    OPT_COPY_TO,
};

// What to look up, once: a second one is a usage error.
int set_lookup(CCmdLine& oLine, ELookup nLookup, lookup_options_t& oOpts) {
    if (oOpts.nLookup != LOOKUP_NONE) return oLine.Fail("one lookup at a time");
    oOpts.nLookup = nLookup;
    return 0;
}

// 0 to go on, -1 after --help or --version, otherwise the exit status.
int parse_args(int argc, char** argv, lookup_options_t& oOpts) {
    CCmdLine oLine("zq_lookup",
                   {{"db", required_argument, nullptr, OPT_DB},
                    {"json", no_argument, nullptr, OPT_JSON},
                    {"health", no_argument, nullptr, OPT_HEALTH},
                    {"tpt-out", required_argument, nullptr, OPT_TPT_OUT},
                    {"sid", required_argument, nullptr, OPT_SID},
                    {"sha1", required_argument, nullptr, OPT_SHA1},
                    {"recent", required_argument, nullptr, OPT_RECENT},
                    {"name", required_argument, nullptr, OPT_NAME},
                    {"export-tsv", no_argument, nullptr, OPT_EXPORT},
                    {"copy-to", required_argument, nullptr, OPT_COPY_TO}},
                   print_usage);
    const char* pszValue = nullptr;
    int iErr = 0;
    for (int iOpt; iErr == 0 && (iOpt = oLine.Next(argc, argv, pszValue)) != CCmdLine::OPT_END;) {
        switch (iOpt) {
            case CCmdLine::OPT_EXIT:
                return oLine.Finished();
            case OPT_JSON:
                oOpts.bJson = true;
                break;
            case OPT_HEALTH:
                oOpts.nShow = RC_RECORD_HEALTH;
                break;
            case OPT_DB:
            case OPT_TPT_OUT:
                if (pszValue[0] == '\0') return oLine.Fail(std::string(iOpt == OPT_DB ? "--db" : "--tpt-out") + " takes a path");
                (iOpt == OPT_DB ? oOpts.strDb : oOpts.strTptOut) = pszValue;
                break;
            case OPT_SID:
            case OPT_SHA1:
                if (!parse_hex(pszValue, oOpts.oKey))
                    return oLine.Fail(std::string(iOpt == OPT_SID ? "--sid" : "--sha1") + " takes 40 hexadecimal digits");
                iErr = set_lookup(oLine, iOpt == OPT_SID ? LOOKUP_SID : LOOKUP_SHA1, oOpts);
                break;
            case OPT_RECENT: {
                unsigned long long n = 0;
                if (ParseDecimal(pszValue, RC_STORE_RECENT_MAX, &n) != 0 || n == 0)
                    return oLine.Fail("--recent takes a number from 1 to " + std::to_string(RC_STORE_RECENT_MAX));
                oOpts.iRecent = static_cast<uint32>(n);
                iErr = set_lookup(oLine, LOOKUP_RECENT, oOpts);
                break;
            }
            case OPT_NAME:
                if (rc_store_name_chars(pszValue) < RC_STORE_NAME_MIN)
                    return oLine.Fail("--name takes at least " + std::to_string(RC_STORE_NAME_MIN) +
                                      " characters of a file name");
                oOpts.strName = pszValue;
                iErr = set_lookup(oLine, LOOKUP_NAME, oOpts);
                break;
            case OPT_EXPORT:
                iErr = set_lookup(oLine, LOOKUP_EXPORT, oOpts);
                break;
            case OPT_COPY_TO:
                if (pszValue[0] == '\0') return oLine.Fail("--copy-to takes a path or a URI");
                oOpts.strCopyTo = pszValue;
                iErr = set_lookup(oLine, LOOKUP_COPY, oOpts);
                break;
        }
    }
    if (iErr != 0) return iErr;
    for (int i = oLine.FirstOperand(); i < argc; ++i) {
        if (!parse_hex(argv[i], oOpts.oKey))
            return oLine.Fail(std::string("a FID is 40 hexadecimal digits, not ") + argv[i]);
        if (set_lookup(oLine, LOOKUP_FID, oOpts) != 0) return kExitError;
    }
    if (oOpts.nLookup == LOOKUP_NONE) return oLine.Fail("what to look up is missing");
    if (oOpts.nLookup == LOOKUP_EXPORT && (oOpts.bJson || !oOpts.strTptOut.empty()))
        return oLine.Fail("--export-tsv takes neither --json nor --tpt-out");
    if (oOpts.nLookup == LOOKUP_NAME && !oOpts.strTptOut.empty()) return oLine.Fail("--name takes no --tpt-out");
    if (oOpts.nLookup == LOOKUP_COPY && (oOpts.bJson || !oOpts.strTptOut.empty()))
        return oLine.Fail("--copy-to takes neither --json nor --tpt-out");
    return 0;
}

bool write_file(const std::string& strPath, const std::vector<unsigned char>& oBytes, std::string& strError) {
    FILE* pFile = fopen(strPath.c_str(), "wb");
    if (pFile == nullptr) {
        strError = strerror(errno);
        return false;
    }
    bool bOk = oBytes.empty() || fwrite(oBytes.data(), 1, oBytes.size(), pFile) == oBytes.size();
    if (!bOk) strError = strerror(errno);
    if (fclose(pFile) != 0 && bOk) {
        strError = strerror(errno);
        bOk = false;
    }
    return bOk;
}

// Page by page from the name index, each record printed as soon as it is
// read, so a common word costs no more memory than one page.
int search_names(CRcStore& oStore, const lookup_options_t& oOpts) {
    std::string strError;
    std::vector<rc_resource_entry_t> oPage;
    std::vector<rc_resource_t> oFound;
    uint64 iAfter = 0;
    size_t iPrinted = 0;
    do {
        int iErr = oStore.SearchNames(oOpts.strName, RC_STORE_PAGE_MAX, iAfter, oPage, iAfter, strError);
        for (size_t i = 0; iErr == 0 && i < oPage.size(); ++i) {
            iErr = oStore.FindFid(oPage[i].FID, oFound, strError);
            // Removed since the page was read: not a match any more.
            if (iErr != 0 || oFound.empty()) continue;
            if (oOpts.bJson) {
                printf("%s\n", rc_record_json(oFound.front(), oOpts.nShow).c_str());
            } else {
                printf("%s%s", iPrinted > 0 ? "\n" : "", rc_record_text(oFound.front(), oOpts.nShow).c_str());
            }
            ++iPrinted;
        }
        if (iErr != 0) {
            fprintf(stderr, "zq_lookup: %s\n", strError.c_str());
            return kExitError;
        }
    } while (iAfter != 0);
    if (!output_ok(0, "", true)) return kExitError;
    if (iPrinted == 0) {
        fprintf(stderr, "zq_lookup: no such record in %s\n", oOpts.strDb.c_str());
        return kExitNotFound;
    }
    return kExitFound;
}

int export_tsv(CRcStore& oStore) {
    bool bAny = false;
    bool bWriteOk = true;
    std::string strError;
    int iErr = rc_store_for_each_location(
        oStore,
        [&](const rc_resource_t& oRes, const rc_location_t& oLoc) {
            bAny = true;
            std::string strLine = rc_record_tsv_line(oRes, oLoc);
            bWriteOk = fwrite(strLine.data(), 1, strLine.size(), stdout) == strLine.size();
            return bWriteOk;
        },
        strError);
    if (!output_ok(iErr, strError, bWriteOk)) return kExitError;
    return bAny ? kExitFound : kExitNotFound;
}

// A --db value names a PostgreSQL database or a SQLite file: the factory
// tells which.
rc_store_address_t store_address(const std::string& strDb) {
    rc_store_address_t oWhere;
    oWhere.Address = strDb;
    return oWhere;
}

std::string shown(const std::string& strDb) { return rc_store_shown(strDb); }

// The copy, then the check that both stores now read the same.
int copy_store(CRcStore& oFrom, const lookup_options_t& oOpts) {
    std::unique_ptr<CRcStore> pTo;
    std::string strError;
    if (rc_open_store(store_address(oOpts.strCopyTo), RC_STORE_WRITE, pTo, strError) != 0) {
        fprintf(stderr, "zq_lookup: %s\n", strError.c_str());
        return kExitError;
    }
    rc_store_copy_t oDone;
    if (rc_store_copy(oFrom, *pTo, oDone, strError) != 0) {
        fprintf(stderr, "zq_lookup: copy to %s: %s\n", shown(oOpts.strCopyTo).c_str(), strError.c_str());
        return kExitError;
    }
    std::string arDigest[2];
    rc_store_counts_t arCounts[2];
    CRcStore* arStores[2] = {&oFrom, pTo.get()};
    for (int i = 0; i < 2; ++i) {
        if (rc_store_digest(*arStores[i], arDigest[i], arCounts[i], strError) != 0) {
            fprintf(stderr, "zq_lookup: %s\n", strError.c_str());
            return kExitError;
        }
    }
    printf("copied %llu locations, %llu counts raised\n", static_cast<unsigned long long>(oDone.Reports),
           static_cast<unsigned long long>(oDone.Tallies));
    for (int i = 0; i < 2; ++i)
        printf("%s: %llu resources, %llu locations, %llu reports, digest %s\n",
               shown(i == 0 ? oOpts.strDb : oOpts.strCopyTo).c_str(),
               static_cast<unsigned long long>(arCounts[i].Resources),
               static_cast<unsigned long long>(arCounts[i].Locations),
               static_cast<unsigned long long>(arCounts[i].Reports), arDigest[i].c_str());
    bool bSame = arDigest[0] == arDigest[1] && arCounts[0].Resources == arCounts[1].Resources &&
                 arCounts[0].Locations == arCounts[1].Locations && arCounts[0].Reports == arCounts[1].Reports;
    if (!bSame) {
        fprintf(stderr, "zq_lookup: the stores differ after the copy: the destination holds what the source "
                        "does not (nothing of the source is missing from it)\n");
        return kExitError;
    }
    if (fflush(stdout) != 0) return kExitError;
    return kExitFound;
}

int print_found(const std::vector<rc_resource_t>& oFound, bool bJson, ERcRecordShow nShow) {
    for (size_t i = 0; i < oFound.size(); ++i) {
        if (bJson) {
            printf("%s\n", rc_record_json(oFound[i], nShow).c_str());
        } else {
            printf("%s%s", i > 0 ? "\n" : "", rc_record_text(oFound[i], nShow).c_str());
        }
    }
    if (!output_ok(0, "", true)) return kExitError;
    return kExitFound;
}

// Each record is printed as it is read, so the memory used is one record's
// however many are asked for.
int print_recent(CRcStore& oStore, const lookup_options_t& oOpts) {
    bool bWriteOk = true;
    size_t iPrinted = 0;
    std::string strError;
    int iErr = oStore.FindRecent(
        oOpts.iRecent,
        [&](const rc_resource_t& oRes) {
            const std::string strText = oOpts.bJson ? rc_record_json(oRes, oOpts.nShow) + "\n"
                                                    : (iPrinted > 0 ? "\n" : "") + rc_record_text(oRes, oOpts.nShow);
            ++iPrinted;
            bWriteOk = fwrite(strText.data(), 1, strText.size(), stdout) == strText.size();
            return bWriteOk;
        },
        strError);
    if (!output_ok(iErr, strError, bWriteOk)) return kExitError;
    if (iPrinted == 0) {
        fprintf(stderr, "zq_lookup: no such record in %s\n", shown(oOpts.strDb).c_str());
        return kExitNotFound;
    }
    return kExitFound;
}

int run(int argc, char** argv) {
    lookup_options_t oOpts;
    int iParse = parse_args(argc, argv, oOpts);
    if (iParse < 0) return kExitFound;
    if (iParse > 0) return iParse;

    std::unique_ptr<CRcStore> pStore;
    std::string strError;
    if (rc_open_store(store_address(oOpts.strDb), RC_STORE_READ, pStore, strError) != 0) {
        fprintf(stderr, "zq_lookup: %s\n", strError.c_str());
        return kExitError;
    }
    CRcStore& oStore = *pStore;
    if (oOpts.nLookup == LOOKUP_EXPORT) return export_tsv(oStore);
    if (oOpts.nLookup == LOOKUP_NAME) return search_names(oStore, oOpts);
    if (oOpts.nLookup == LOOKUP_COPY) return copy_store(oStore, oOpts);

    if (oOpts.nLookup == LOOKUP_RECENT && oOpts.strTptOut.empty()) return print_recent(oStore, oOpts);

    std::vector<rc_resource_t> oFound;
    int iErr = 0;
    switch (oOpts.nLookup) {
        case LOOKUP_SID:
            iErr = oStore.FindSid(oOpts.oKey, oFound, strError);
            break;
        case LOOKUP_SHA1:
            iErr = oStore.FindSha1(oOpts.oKey, oFound, strError);
            break;
        case LOOKUP_RECENT:
            iErr = oStore.FindRecent(
                oOpts.iRecent,
                [&oFound](const rc_resource_t& oRes) {
                    oFound.push_back(oRes);
                    return true;
                },
                strError);
            break;
        default:
            iErr = oStore.FindFid(oOpts.oKey, oFound, strError);
            break;
    }
    if (iErr != 0) {
        fprintf(stderr, "zq_lookup: %s\n", strError.c_str());
        return kExitError;
    }
    if (oFound.empty()) {
        fprintf(stderr, "zq_lookup: no such record in %s\n", shown(oOpts.strDb).c_str());
        return kExitNotFound;
    }
    if (!oOpts.strTptOut.empty()) {
        if (oFound.size() != 1) {
            fprintf(stderr, "zq_lookup: --tpt-out needs exactly one record, %zu match\n", oFound.size());
            return kExitError;
        }
        if (!write_file(oOpts.strTptOut, oFound.front().Tpt, strError)) {
            fprintf(stderr, "zq_lookup: cannot write %s: %s\n", oOpts.strTptOut.c_str(), strError.c_str());
            return kExitError;
        }
    }
    return print_found(oFound, oOpts.bJson, oOpts.nShow);
}

}  // namespace

int main(int argc, char** argv) { return run(argc, argv); }
