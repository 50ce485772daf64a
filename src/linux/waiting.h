#ifndef FILEHOLDER_WAITING_H
#define FILEHOLDER_WAITING_H

#include "candidates.h"
#include "clock.h"
#include "events.h"
#include "folder_tree.h"
#include "listing.h"
#include "name_components.h"
#include "pause.h"

#include <cstdint>

// Listings, with the opens of the matches they find, take this share of the
// time at most (1 / 100), paid from a credit that refills with the time: a
// small folder is listed at every attempt, a large one less often, whatever
// made its listing due. The credit holds a little, half of it kept for the
// first listing of a new folder, which goes first (see may_list).
constexpr std::int64_t listing_share = 100;
constexpr std::int64_t listing_credit_held_ns = 2 * one_millisecond_ns;

// Everything the waiting on one name needs, made once the name is known.
struct waiting {
    name_components name;
    bool pattern = false;
    bool walked = false; // the first attempt listed every folder it found
    folder_tree tree;
    event_reports reports;
    pause_state pause;
    candidate_list pending;          // matches that did not open, tried again
    unsigned long round_started = 0; // the attempt that began the retries' round
    unsigned long next_round = 0;    // the attempt from which the next may begin
    candidate_list trying;           // this attempt's matches
    candidate_list failed;           // those of them to be tried again
    listing list;
    std::int64_t credit_ns = listing_credit_held_ns;
    timespec credit_time{};
    timespec events_read{};   // when a listing last read the events
    std::size_t rotation = 0; // the folder listed again next
    unsigned long attempts = 0;
};

#endif
