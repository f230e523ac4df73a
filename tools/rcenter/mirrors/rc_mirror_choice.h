// Which of a resource's locations a client is sent to, from what the checks
// found: never one with wrong content, a missing file or a dead host. The
// ok ones come first, those known to honour ranges before those that do
// not; then the ones not checked yet or refused to the checker only (a
// client may reach what the center may not). Each tier is shuffled, so
// mirrors of the same standing share the load evenly. A location that
// ignores ranges serves a whole-file download (a redirect) but not a
// client that fetches pieces from several mirrors at once. Pure functions.
#ifndef ZQ_RC_MIRROR_CHOICE_H
#define ZQ_RC_MIRROR_CHOICE_H

#include <random>
#include <vector>

#include "rc_store.h"

struct rc_mirror_choice_t {
    // Every usable location in the order above; pointers into the input.
    std::vector<const rc_location_t*> Usable;
    // The same without those known to ignore ranges: what a client that
    // fetches pieces (RFC 6249 duplicates, a Metalink) is given.
    std::vector<const rc_location_t*> Ranged;
};

rc_mirror_choice_t rc_choose_mirrors(const std::vector<rc_location_t>& oLocations, std::mt19937& oRandom);

#endif
