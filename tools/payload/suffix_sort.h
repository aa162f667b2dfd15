// The suffix array of a byte string, by induced sorting, for builds whose toolchain has no suffix
// sorter library (the Windows mkupdate). A string has exactly one suffix array, so any correct
// sorter gives the same one, and the delta encoder the same bytes, on every platform.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The largest string sorted: positions fit a signed 32-bit number.
const size_t kSuffixSortMax = 0x7fffffff;

// sa[i] becomes the start of the i-th smallest suffix of text[0, size), a suffix that is a
// prefix of another sorting first. sa has room for size entries; beyond them the sorter holds a
// bit per byte and a table per level no larger than the string's distinct symbols. 0 when size
// exceeds kSuffixSortMax or that memory cannot be had.
int SortSuffixes(const uint8_t* text, int32_t* sa, size_t size);
