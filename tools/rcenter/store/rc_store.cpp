#include "rc_store.h"

int rc_store_for_each_location(CRcStore& oStore,
                               const std::function<bool(const rc_resource_t&, const rc_location_t&)>& fn,
                               std::string& strError) {
    std::vector<rc_resource_t> oResources;
    std::vector<rc_location_t> oLocations;
    uint64 iAfter = 0;
    for (;;) {
        int iErr = oStore.ReadLocations(iAfter, RC_STORE_EXPORT_CHUNK, oResources, oLocations, strError);
        if (iErr != 0) return iErr;
        for (size_t i = 0; i < oLocations.size(); ++i) {
            if (!fn(oResources[i], oLocations[i])) return 0;
        }
        if (oLocations.size() < RC_STORE_EXPORT_CHUNK) return 0;
        iAfter = oLocations.back().Id;
    }
}

size_t rc_store_name_chars(const std::string& strText) {
    size_t n = 0;
    for (char c : strText) {
        if ((static_cast<unsigned char>(c) & 0xc0) != 0x80) ++n;
    }
    return n;
}

namespace {
const char* const kHealthNames[RC_HEALTH_STATES] = {"unchecked", "ok", "wrong_content", "missing", "unreachable",
                                                    "not_allowed"};
}  // namespace

const char* rc_health_state_name(ERcHealthState nState) {
    return nState < RC_HEALTH_STATES ? kHealthNames[nState] : "unchecked";
}

bool rc_health_state_parse(const std::string& strName, ERcHealthState& nState) {
    for (uint32 i = 0; i < RC_HEALTH_STATES; ++i) {
        if (strName == kHealthNames[i]) {
            nState = static_cast<ERcHealthState>(i);
            return true;
        }
    }
    return false;
}

sint64 rc_health_next_due(const rc_health_t& oHealth, uint32 iIntervalS) {
    sint64 iWait = iIntervalS;
    if (oHealth.State != RC_HEALTH_OK) {
        for (uint32 i = 1; i < oHealth.Failures && iWait < RC_HEALTH_BACKOFF_MAX_S; ++i) iWait *= 2;
        if (iWait > RC_HEALTH_BACKOFF_MAX_S) iWait = RC_HEALTH_BACKOFF_MAX_S;
        if (iWait < iIntervalS) iWait = iIntervalS;
    }
    return oHealth.CheckedAt + iWait;
}
