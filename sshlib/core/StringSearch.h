#pragma once

// First place in haystack where needle matches, folding ASCII a-z to A-Z only; null when absent or
// when either string is null or empty.
const char *stristr(const char *haystack, const char *needle);
char *stristr(char *haystack, const char *needle);

// Whether the whole text matches the pattern, in which '*' stands for any run (possibly empty).
// There is no other wildcard. caseSensitive false compares ASCII letters without case.
bool wildcardMatch(const char *text, const char *pattern, bool caseSensitive);
