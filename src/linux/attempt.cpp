#include "attempt.h"

#include "due_listings.h"
#include "open_file.h"
#include "opened_files.h"
#include "schedule.h"

#include <cerrno>
#include <dirent.h>
#include <sys/stat.h>

// One attempt on a pattern. The files that events named and the listings
// due found (see due_listings.h) are tried by their names, one open each.
// Matches that did not open and that no event would tell of are tried
// again at each attempt, a few at a time. All of them are tried in name
// order, and the first that opens is held.

namespace
{

// Matches tried again at each attempt, in name order, round the list; a
// round starts no sooner than this many attempts after the last one did,
// so that a few matches cost a few opens every few milliseconds, and each
// is still held within some milliseconds of becoming openable.
constexpr std::size_t retries_per_attempt = 8;
constexpr unsigned long attempts_a_round = 4;

struct attempt_state {
    bool out_of_descriptors = false;
};

// Whether a match that did not open is to be tried again at each attempt:
// only when it is still there and may become openable without an event
// that names it (a symbolic link, or no watch on its folder).
bool keep_trying(candidate &item, int error)
{
    // What it is, where the listing did not tell; a guess (a file) where
    // reading it was refused, which an event about it will correct.
    if (item.type == DT_UNKNOWN && error != EACCES) {
        struct stat status {
        };
        if (lstat(item.path, &status) != 0) {
            return false; // gone
        }
        item.type = S_ISLNK(status.st_mode) ? DT_LNK : S_ISDIR(status.st_mode) ? DT_DIR : DT_REG;
    }
    if (item.type == DT_LNK) {
        return true; // its target may appear, or change, anywhere
    }
    if (error == ENOENT || error == ENOTDIR || error == EISDIR) {
        return false; // gone, or a folder
    }
    // A watched folder tells when a file's mode changes; anything else (a
    // lease, a device not ready) may pass without an event.
    return error != EACCES || item.polled;
}

std::FILE *try_candidates(waiting &state, const char *&held, attempt_state &attempt)
{
    candidate_list &trying = state.trying;
    sort_candidates(trying);
    std::FILE *file = nullptr;
    for (std::size_t i = 0; i < trying.count && file == nullptr; ++i) {
        candidate &item = trying.items[i];
        int error = 0;
        const int descriptor = item.descriptor >= 0 ? item.descriptor : open_file(item.path, error);
        item.descriptor = -1;
        if (descriptor >= 0) {
            file = stream_of(descriptor);
            if (file != nullptr) {
                held = item.path;
                item.path = nullptr; // kept for the run: it names the held file
            }
        } else if (error == EMFILE || error == ENFILE) {
            attempt.out_of_descriptors = true;
            break;
        } else if (!holds_candidate(state.pending, item.path) && keep_trying(item, error)) {
            candidate again = item;
            again.polled = true;
            item.path = nullptr;
            (void)add_candidate(state.failed, again);
        }
    }
    clear_candidates(trying);
    merge_candidates(state.pending, state.failed);
    return file;
}

// Where nothing that the watches and listings found opened, the files
// that the kernel handed over, in name order, each through its descriptor:
// they add files that left before an open of their name could come, and a
// file still there is found as before. Where opens went unseen, every
// folder is listed.
std::FILE *try_handed_over(waiting &state, const char *&held, attempt_state &attempt)
{
    if (!state.pause.opens_due) {
        return nullptr;
    }
    if (take_opened(state.tree, state.name, state.trying)) {
        mark_all_unlisted(state.tree);
    }
    return state.trying.count == 0 ? nullptr : try_candidates(state, held, attempt);
}

} // namespace

std::FILE *try_pattern(waiting &state, const char *&held, bool &out_of_descriptors)
{
    ++state.attempts;
    attempt_state attempt;
    if (state.tree.top < 0) {
        // The watches first, so that nothing that appears while the folders
        // are listed goes unseen.
        (void)set_top(state.tree, state.name);
    }
    take_reports(state, false);
    const bool walking = !state.walked;
    list_due(state, attempt.out_of_descriptors);
    state.walked = true;
    const timespec start = monotonic_now();
    if (state.attempts >= state.next_round) {
        if (state.pending.last_taken == nullptr) {
            state.round_started = state.attempts; // a round begins from the first
        }
        if (take_candidates(state.pending, retries_per_attempt, state.trying)) {
            state.next_round = state.round_started + attempts_a_round;
        }
    }
    std::FILE *file = attempt.out_of_descriptors ? nullptr : try_candidates(state, held, attempt);
    state.credit_ns -= nanoseconds_between(start, monotonic_now());
    if (file == nullptr && !attempt.out_of_descriptors) {
        file = try_handed_over(state, held, attempt);
    }
    if (walking) {
        // The first attempt lists and tries all that the name reaches at the
        // start: that is what starting costs, and it leaves no debt to hold
        // back what comes later.
        state.credit_ns = listing_credit_held_ns;
    }
    out_of_descriptors = attempt.out_of_descriptors;
    if (out_of_descriptors) {
        clear_candidates(state.trying);
    }
    return file;
}
