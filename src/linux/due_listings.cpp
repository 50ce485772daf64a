#include "due_listings.h"

#include "folder_watches.h"
#include "open_file.h"
#include "schedule.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>

namespace
{

// Folders looked at in turn at each attempt, to be listed again when due.
constexpr std::size_t rotation_steps = 16;
// A folder whose watch sees every change is listed again only as a
// backstop for what a watch may still miss: after 100 ms at the least, and
// so that its listings take a thousandth of the time. The others, as often
// as the credit allows.
constexpr std::int64_t backstop_after_ns = 100 * one_millisecond_ns;
constexpr std::int64_t backstop_share = 1000;
// A long listing reads the events this often, so that a file that appears
// meanwhile and lives some tenths of a millisecond is opened before it
// goes; held, it still waits for its turn.
constexpr std::int64_t events_read_every_ns = one_millisecond_ns / 10;

} // namespace

void take_reports(waiting &state, bool open_now)
{
    for (std::size_t i = 0; i < state.reports.count; ++i) {
        const reported_file &file = state.reports.entries[i];
        const folder &holder = state.tree.folders[file.folder];
        if (!holder.in_use || holder.id != file.folder_id) {
            continue; // its folder is gone, and the file with it
        }
        candidate found;
        found.path = entry_path(state.name, holder, file.name);
        if (found.path == nullptr) {
            mark_unlisted(state.tree, file.folder); // no memory: listed instead
            continue;
        }
        int error = 0;
        found.descriptor = open_now ? open_file(found.path, error) : -1;
        (void)add_candidate(state.trying, found);
    }
    state.reports.count = 0;
}

namespace
{

void read_events_now(waiting &state)
{
    state.events_read = monotonic_now();
    (void)read_events(state.tree, state.name, true, state.reports);
    take_reports(state, true);
}

// The pending matches of a folder whose listing gives them anew.
bool in_folder(const candidate &item, const void *prefix)
{
    const auto *folder_prefix = static_cast<const char *>(prefix);
    const std::size_t size = std::strlen(folder_prefix);
    return std::strncmp(item.path, folder_prefix, size) == 0 &&
           std::strchr(item.path + size, '/') == nullptr;
}

// A matching file of folder index, of type as listed, to be tried.
void add_file(waiting &state, int index, const char *entry, unsigned char type = DT_UNKNOWN)
{
    const folder &holder = state.tree.folders[index];
    candidate found;
    found.path = entry_path(state.name, holder, entry);
    found.polled = holder.watch < 0;
    found.type = type;
    if (found.path != nullptr) {
        (void)add_candidate(state.trying, found);
    }
}

// A component without wildcards needs no listing: its one entry is tried.
void probe(waiting &state, int index)
{
    folder_tree &tree = state.tree;
    const name_components &name = state.name;
    const std::size_t level = tree.folders[index].level;
    if (level + 1 == name.count) {
        add_file(state, index, name.parts[level].text);
    } else if (tree.pattern && index == tree.top && level < name.first_wildcard) {
        (void)set_top(tree, name);
    } else {
        (void)add_child(tree, name, index, name.parts[level].text);
    }
}

// Opens folder index for listing; a folder that is gone is dropped.
bool start_listing(waiting &state, int index, bool &out_of_descriptors)
{
    folder_tree &tree = state.tree;
    int error = 0;
    if (open_listing(state.list, tree.folders[index].path, error)) {
        return true;
    }
    out_of_descriptors = error == EMFILE || error == ENFILE;
    if (error == ENOENT || error == ENOTDIR) {
        drop_folder(tree, index);
        if (tree.top < 0) {
            (void)set_top(tree, state.name);
        }
    }
    return false;
}

// The file's folder is listed: the matches that did not open there before
// are found again by this listing, or are gone.
void forget_pending(waiting &state, int index)
{
    char *prefix = entry_path(state.name, state.tree.folders[index], "");
    if (prefix != nullptr) {
        remove_candidates(state.pending, in_folder, prefix);
        std::free(prefix);
    }
}

// Lists folder index: its matching files become candidates, its matching
// folders join the tree.
void list_folder(waiting &state, int index, bool &out_of_descriptors)
{
    folder_tree &tree = state.tree;
    const name_components &name = state.name;
    const unsigned long identity = tree.folders[index].id;
    const std::size_t level = tree.folders[index].level;
    tree.folders[index].listed = true;
    tree.folders[index].listed_in = state.attempts;
    if (tree.folders[index].watch < 0 && !rewatch(tree, index) && tree.folders[index].local) {
        // No event tells of it: listed again only once it changed.
        tree.folders[index].changed_ns = change_stamp(tree.folders[index].path);
    }
    if (!name.parts[level].wildcard) {
        probe(state, index);
        return;
    }
    if (!start_listing(state, index, out_of_descriptors)) {
        return;
    }
    const bool last = level + 1 == name.count;
    if (last) {
        forget_pending(state, index);
    }
    unsigned char type = DT_UNKNOWN;
    while (const char *entry = next_entry(state.list, type)) {
        if (state.list.refilled &&
            nanoseconds_between(state.events_read, monotonic_now()) >= events_read_every_ns) {
            read_events_now(state);
            if (!tree.folders[index].in_use || tree.folders[index].id != identity) {
                break; // gone meanwhile
            }
        }
        const bool dots = entry[0] == '.' && (entry[1] == '\0' || std::strcmp(entry, "..") == 0);
        if (dots || !matches_component(name, level, entry)) {
            continue;
        }
        if (last && type != DT_DIR) {
            add_file(state, index, entry, type);
        } else if (!last && (type == DT_DIR || type == DT_LNK || type == DT_UNKNOWN)) {
            (void)add_child(tree, name, index, entry);
        }
    }
    close_listing(state.list);
}

// Whether folder index, which no watch tells of, is as it was when it was
// last listed, so that listing it again would find nothing new. A look at
// its change time costs a fraction of a listing: such folders are then
// looked at many times as often for the same credit.
bool unchanged(const folder &due)
{
    return due.watch < 0 && due.local && due.changed_ns > 0 &&
           change_stamp(due.path) == due.changed_ns;
}

} // namespace

// Lists what is due, paying each listing from the credit: at the first
// attempt every folder found; later a new folder at once, on credit while
// the debt is small, so that what was made in it before its watch is found
// while it is still there, as are all after events were lost; and the
// others in turn while some credit is kept: one that events cannot tell all
// of as often as that allows, one whose watch sees all now and then.
void list_due(waiting &state, bool &out_of_descriptors)
{
    folder_tree &tree = state.tree;
    timespec now = monotonic_now();
    state.events_read = now; // the pause has just read them
    state.credit_ns = refilled(state.credit_ns, nanoseconds_between(state.credit_time, now),
                               listing_share, listing_credit_held_ns);
    state.credit_time = now;
    auto list_paid = [&](std::size_t index) {
        list_folder(state, static_cast<int>(index), out_of_descriptors);
        const timespec end = monotonic_now();
        const std::int64_t cost = nanoseconds_between(now, end);
        state.credit_ns -= cost;
        tree.folders[index].listing_cost_ns = cost;
        now = end;
    };
    auto list_if_changed = [&](std::size_t index) {
        if (!unchanged(tree.folders[index])) {
            list_paid(index);
            return;
        }
        tree.folders[index].listed_in = state.attempts;
        const timespec end = monotonic_now();
        state.credit_ns -= nanoseconds_between(now, end);
        now = end;
    };
    // Folders found by a listing are listed in the same pass.
    for (int next = 0;
         !out_of_descriptors && (next = first_unlisted(tree)) >= 0 &&
         (!state.walked || may_list(state.credit_ns, true, listing_credit_held_ns));) {
        list_paid(static_cast<std::size_t>(next));
    }
    for (std::size_t turns = 0;
         turns < rotation_steps && turns < tree.count && !out_of_descriptors &&
         may_list(state.credit_ns, false, listing_credit_held_ns);
         ++turns) {
        const std::size_t next = state.rotation++ % tree.count;
        const folder &due = tree.folders[next];
        // Attempts come a millisecond apart at the least.
        const auto since = static_cast<std::int64_t>(state.attempts - due.listed_in);
        const bool backstop_only =
            due.watch_sees_all && !relisting_due(since * one_millisecond_ns, due.listing_cost_ns,
                                                 backstop_after_ns, backstop_share);
        if (due.in_use && since > 0 && !backstop_only) {
            list_if_changed(next);
        }
    }
}
