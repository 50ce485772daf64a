#ifndef FILEHOLDER_EVENTS_H
#define FILEHOLDER_EVENTS_H

#include "folder_tree.h"
#include "name_components.h"

#include <cstddef>

// What the watches' events showed since the last attempt. The events also
// keep the tree of folders up to date as they are read: a new matching
// folder gets its watch at once, and a folder that went away is forgotten.

// The matching files events named, held until the next attempt; where more
// come, their folder is listed instead.
constexpr std::size_t reports_held = 64;

// Held as its folder and its name: its path is made only when it is tried,
// so that a storm of matches made and deleted at once costs no memory.
struct reported_file {
    int folder = -1;             // the folder it is in,
    unsigned long folder_id = 0; // while that folder has this id
    char name[longest_entry + 1] = {};
};

struct event_reports {
    reported_file entries[reports_held];
    std::size_t count = 0;
};

// Reads the queued events until the queue is empty, without waiting, and
// applies them to the tree. A pattern's matching files are added to
// reports, each once, and taken out again when they leave before the next
// attempt. True when one of them may let the next attempt succeed: a
// matching entry, a new folder to list, lost events.
bool read_events(folder_tree &tree, const name_components &name, bool pattern,
                 event_reports &reports);

// Applies the events of one read, size bytes of whole events in buffer
// (aligned as an inotify_event), as read_events does with each read: apart,
// so that the events' effects are tried on buffers made by hand. True as
// for read_events.
bool apply_events(folder_tree &tree, const name_components &name, bool pattern, const char *buffer,
                  std::size_t size, event_reports &reports);

#endif
