#pragma once
// Checks of the fuzz targets: a failed check names itself and aborts, which libFuzzer
// reports as a finding with the input that caused it.
#include <cstdio>
#include <cstdlib>

#define Check(condition) FuzzCheckAt((condition), #condition, __LINE__)

inline void FuzzCheckAt(bool condition, const char* text, int line) {
    if (condition) return;
    std::fprintf(stderr, "check failed at line %d: %s\n", line, text);
    std::abort();
}
