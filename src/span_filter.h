#ifndef XONSPAN_SPAN_FILTER_H
#define XONSPAN_SPAN_FILTER_H

#include <cstdio>

#include "span_kernel.h"

// Copies to `out` every byte of `in` that lies between an XON (0x11) and the
// next XOFF (0x13), until end of input or the first read or write error.
// Both streams stay the caller's: nothing is closed, flushed or repositioned,
// and memory use is fixed whatever the input.
void extract_spans(std::FILE* in, std::FILE* out);

// The same with a given kernel, so that every variant can be tested.
void extract_spans_with(std::FILE* in, std::FILE* out, span_kernel scan);

#endif
