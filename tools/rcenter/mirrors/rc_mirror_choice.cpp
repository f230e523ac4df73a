#include "rc_mirror_choice.h"

#include <algorithm>

rc_mirror_choice_t rc_choose_mirrors(const std::vector<rc_location_t>& oLocations, std::mt19937& oRandom) {
    std::vector<const rc_location_t*> arTiers[3];
    for (const rc_location_t& oLoc : oLocations) {
        const rc_health_t& h = oLoc.Health;
        if (!rc_health_usable(h.State)) continue;
        const int iTier = h.State != RC_HEALTH_OK ? 2 : h.Ranges == RC_RANGES_NO ? 1 : 0;
        arTiers[iTier].push_back(&oLoc);
    }
    rc_mirror_choice_t oChoice;
    for (auto& oTier : arTiers) {
        std::shuffle(oTier.begin(), oTier.end(), oRandom);
        for (const rc_location_t* p : oTier) {
            oChoice.Usable.push_back(p);
            if (p->Health.Ranges != RC_RANGES_NO) oChoice.Ranged.push_back(p);
        }
    }
    return oChoice;
}
