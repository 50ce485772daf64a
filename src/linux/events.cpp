#include "events.h"

#include "folder_watches.h"
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

namespace
{

// Room for many events a read; the queue is read until it is empty.
constexpr std::size_t event_buffer_size = 16384;
// A storm that fills the queue as fast as it is read cannot hold the
// reader: it stops after this many reads, and what was lost is listed.
constexpr int most_reads = 64;

// Folders of the tree that may be one folder, reached by symbolic links.
constexpr std::size_t folders_sharing_a_watch = 16;

constexpr std::uint32_t folder_gone = IN_DELETE_SELF | IN_IGNORED | IN_UNMOUNT;

// The report of entry in folder index, or reports.count.
std::size_t find_report(const event_reports &reports, const folder &holder, const char *entry)
{
    for (std::size_t i = 0; i < reports.count; ++i) {
        const reported_file &file = reports.entries[i];
        if (file.folder_id == holder.id && std::strcmp(file.name, entry) == 0) {
            return i;
        }
    }
    return reports.count;
}

void report(event_reports &reports, folder_tree &tree, int index, const char *entry)
{
    const folder &holder = tree.folders[index];
    if (find_report(reports, holder, entry) < reports.count) {
        return; // touched again: one try will do
    }
    const std::size_t length = std::strlen(entry);
    if (reports.count == reports_held || length > longest_entry) {
        mark_unlisted(tree, index); // too many: listed instead
        return;
    }
    reported_file &file = reports.entries[reports.count++];
    file.folder = index;
    file.folder_id = holder.id;
    std::memcpy(file.name, entry, length + 1);
}

// A file that left before the attempt: trying it would only fail.
void forget_report(event_reports &reports, const folder &holder, const char *entry)
{
    const std::size_t found = find_report(reports, holder, entry);
    if (found < reports.count) {
        reports.entries[found] = reports.entries[--reports.count];
    }
}

// An event about an entry of folder index; true when it may let an attempt
// succeed.
bool entry_event(folder_tree &tree, int index, const name_components &name, bool pattern,
                 const inotify_event &event, event_reports &reports)
{
    const std::size_t level = tree.folders[index].level;
    if (!matches_component(name, level, event.name)) {
        return false;
    }
    const bool departed = (event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0;
    if (level + 1 == name.count) {
        if (departed) {
            forget_report(reports, tree.folders[index], event.name);
            return false;
        }
        // A new folder never counts for a pattern: folders are never held.
        if (pattern && (event.mask & IN_ISDIR) != 0) {
            return false;
        }
        if (pattern) {
            report(reports, tree, index, event.name);
        }
        return true;
    }
    if (departed) {
        return false; // a folder's own watch tells that it left
    }
    if (tree.pattern && index == tree.top && level < name.first_wildcard) {
        return set_top(tree, name); // the name's fixed start reaches further
    }
    const int child = add_child(tree, name, index, event.name);
    return child >= 0 && !tree.folders[child].listed;
}

// An event about folder index itself; true when the tree changed.
bool folder_event(folder_tree &tree, int index, const name_components &name, std::uint32_t mask)
{
    const bool gone = (mask & folder_gone) != 0;
    // Moved: it may be still at its path (renamed back, or the move was of
    // another name of it); if not, whatever now stands there is found anew.
    if (!gone && ((mask & IN_MOVE_SELF) == 0 || still_there(tree, index))) {
        return false;
    }
    // Gone, its watch is gone with it: the kernel removed it.
    drop_folder(tree, index, gone);
    if (tree.top < 0) {
        (void)set_top(tree, name);
    }
    return true;
}

// Applies one event to every folder it is about; true when it may let an
// attempt succeed.
bool apply(folder_tree &tree, const name_components &name, bool pattern, const inotify_event &event,
           event_reports &reports)
{
    // A full queue lost events: any folder may hold what they told.
    if ((event.mask & IN_Q_OVERFLOW) != 0) {
        mark_all_unlisted(tree);
        return true;
    }
    // An entry that left matters only to a report it takes back: with none
    // held, a storm of deletions costs no more than reading it.
    if ((event.mask & (IN_DELETE | IN_MOVED_FROM)) != 0 && reports.count == 0) {
        return false;
    }
    bool relevant = false;
    // Two folders of the tree may share a watch (a symbolic link to a
    // folder of it): each hears it. Taken first, as the tree changes.
    int heard[folders_sharing_a_watch];
    const std::size_t count = folders_watched_by(tree, event.wd, heard, folders_sharing_a_watch);
    for (std::size_t i = 0; i < count; ++i) {
        const int index = heard[i];
        if (!tree.folders[index].in_use || tree.folders[index].watch != event.wd) {
            continue; // dropped, or watched anew, by what came before
        }
        const bool changed = event.len > 0 ? entry_event(tree, index, name, pattern, event, reports)
                                           : folder_event(tree, index, name, event.mask);
        relevant = relevant || changed;
    }
    return relevant;
}

} // namespace

bool apply_events(folder_tree &tree, const name_components &name, bool pattern, const char *buffer,
                  std::size_t size, event_reports &reports)
{
    bool relevant = false;
    for (std::size_t offset = 0; offset + sizeof(inotify_event) <= size;) {
        const auto *event = reinterpret_cast<const inotify_event *>(buffer + offset);
        offset += sizeof(inotify_event) + event->len;
        relevant = apply(tree, name, pattern, *event, reports) || relevant;
    }
    return relevant;
}

bool read_events(folder_tree &tree, const name_components &name, bool pattern,
                 event_reports &reports)
{
    alignas(inotify_event) char events[event_buffer_size];
    bool relevant = false;
    // A read gives as many whole events as fit: one that left room for the
    // largest event has emptied the queue, and no further read is needed.
    const auto emptied = static_cast<ssize_t>(sizeof events - sizeof(inotify_event) - NAME_MAX - 1);
    ssize_t got = emptied;
    for (int reads = 0; reads < most_reads && got >= emptied && tree.instance >= 0; ++reads) {
        got = read(tree.instance, events, sizeof events);
        if (got <= 0) {
            break; // empty, or no longer readable
        }
        const auto size = static_cast<std::size_t>(got);
        relevant = apply_events(tree, name, pattern, events, size, reports) || relevant;
    }
    return relevant;
}
