#ifndef XONSPAN_SPAN_FILTER_H
#define XONSPAN_SPAN_FILTER_H

#include <cstdio>

#include "span_kernel.h"

// How a run of the filter ended.
enum span_status {
    SPANS_COPIED,       // the input was read to its end and every kept byte written
    SPANS_READ_FAILED,  // reading failed; what was read before is written
    SPANS_WRITE_FAILED, // writing failed; nothing more was read
};

// Copies to `out` every byte of `in` that lies between an XON (0x11) and the
// next XOFF (0x13), until end of input or the first read or write error.
// Both streams stay the caller's: nothing is closed, flushed or repositioned,
// and memory use is fixed whatever the input. Reads wait for whole blocks.
span_status extract_spans(std::FILE* in, std::FILE* out);

// The same, reading the descriptor `in_fd` directly: each read takes what the
// input has ready (a pipe, a FIFO, a terminal, a device), and its kept bytes
// are handed to `out` before the next read. Regular files are still read in
// whole blocks.
span_status extract_spans_fd(int in_fd, std::FILE* out);

// Both with a given kernel, so that every variant can be tested.
span_status extract_spans_with(std::FILE* in, std::FILE* out, span_kernel scan);
span_status extract_spans_fd_with(int in_fd, std::FILE* out, span_kernel scan);

#endif
