#ifndef FILEHOLDER_OPEN_MARKS_H
#define FILEHOLDER_OPEN_MARKS_H

#include <cstddef>
#include <cstdint>

// Marks on folders for the opens of their files (fanotify): the kernel then
// hands over, with each open, a descriptor of the file that was opened, at
// its maker's own open. A file that lives some microseconds is held that
// way, even once it is deleted. Only a privileged process may ask for it;
// everywhere else nothing here is used, and the waiting goes on as it does
// without.

struct open_marks {
    int instance = -1;           // the fanotify descriptor
    bool refused = false;        // not to be used in this run
    bool reports_errors = false; // an event whose file could not be opened says so
    bool off = false;            // taken off while other files' opens storm
    std::size_t marked = 0;      // marks made since they were last all taken off
    std::uint64_t mount_id = 0;  // the marked mount's (statx), 0 when none is
    // A session leader without a terminal takes the first terminal it opens
    // as its own, and the events' files are opened for it without O_NOCTTY:
    // each is then given back at once (see give_back_terminal).
    bool leader_without_terminal = false;
    std::int64_t credit_ns = 0;   // for reading the opens, see opened_files.h
    std::int64_t credit_time = 0; // when the credit was last topped up
    std::int64_t since = 0;       // when the marks were last put on, or taken off
    unsigned storms = 0;          // storms in a row that took them off
    std::int64_t read_ns = 0;     // spent reading the opens since the last pause
};

// Marks the folder at path for the opens of its files; the group is made at
// the first mark. A folder of the marked mount needs no mark of its own.
// False where marks cannot be used (no privilege, a file system that
// refuses them, no descriptors to spare) or are off.
bool mark_folder(open_marks &marks, const char *path);

// Marks the whole mount that holds the folder at path, for the opens of
// files in folders that are made and filled faster than each can be marked.
bool mark_mount(open_marks &marks, const char *path);

// Where the terminal open as descriptor became this process's own, as the
// kernel opened an event's file for it, gives it back, as it was: a
// terminal is taken so only when no session has it. Giving it back sends
// SIGHUP to this process's group, which is only itself, a session leader:
// SIGHUP is ignored for that moment, and what it was is restored.
void give_back_terminal(int descriptor);

// Takes every mark off, folders' and mounts'; what came before stays queued.
void unmark_all(open_marks &marks);

// Closes the group for good, and its marks with it.
void close_marks(open_marks &marks);

#endif
