#ifndef FILEHOLDER_DUE_LISTINGS_H
#define FILEHOLDER_DUE_LISTINGS_H

#include "waiting.h"

// What an attempt on a pattern gathers before it tries anything: the files
// that events named, and the folders listed for what events cannot show (a
// new folder's first entries, a full queue, no watch, a change on another
// host's share), as the listing credit allows. Both join state.trying.

// The files that events reported, as candidates; opened at once where
// open_now (while a listing is under way: the file is caught now, and held
// only if it comes first once the listing is done).
void take_reports(waiting &state, bool open_now);

// Lists what is due, paying each listing from the credit; sets
// out_of_descriptors when a folder could not be opened for want of one.
void list_due(waiting &state, bool &out_of_descriptors);

#endif
