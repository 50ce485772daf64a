#ifndef FILEHOLDER_ATTEMPT_H
#define FILEHOLDER_ATTEMPT_H

#include "waiting.h"

#include <cstdio>

// One attempt on a pattern: the matching files that events reported, that
// the listings due now find and that are tried again, in name order until
// one opens, and where none does, those that the kernel handed over; held
// is then set to its name. Null when none opens; sets
// out_of_descriptors when an open failed for want of a descriptor.
std::FILE *try_pattern(waiting &state, const char *&held, bool &out_of_descriptors);

#endif
