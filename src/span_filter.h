#ifndef XONSPAN_SPAN_FILTER_H
#define XONSPAN_SPAN_FILTER_H

#include <cstdio>

// Copies to `out` every byte of `in` that lies between an XON (0x11) and the
// next XOFF (0x13), until end of input or the first read or write error.
// Both streams stay the caller's: nothing is closed, flushed or repositioned.
void extract_spans(std::FILE* in, std::FILE* out);

#endif
