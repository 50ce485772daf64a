#ifndef FILEHOLDER_PATTERN_H
#define FILEHOLDER_PATTERN_H

// A name whose last component holds * or ? stands for the first file whose
// name matches it: * matches any run of characters, including none, ? exactly
// one; every other character matches only itself. A character is one valid
// UTF-8 sequence (no overlong form, no surrogate, none beyond U+10FFFF), or
// else one byte.

// True when a component holds a wildcard.
bool is_pattern(const char *component);

// True when name matches pattern. With hidden_dots, a leading '.' of name is
// matched only by a '.' at the start of the pattern, as POSIX shells list
// files. Case is compared exactly: a platform that ignores it folds both.
bool pattern_matches(const char *pattern, const char *name, bool hidden_dots);

#endif
