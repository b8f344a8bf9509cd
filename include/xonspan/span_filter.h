#ifndef XONSPAN_SPAN_FILTER_H
#define XONSPAN_SPAN_FILTER_H

// xonspan: copies the bytes that lie between an XON (0x11) and the next XOFF
// (0x13), and nothing else. XON and XOFF are never copied; spans do not nest;
// a span still open at the end of the input runs to its end.

#include <cstddef>
#include <cstdio>

// How a run of the filter ended.
enum span_status {
    SPANS_COPIED,       // the input was read to its end and every kept byte written
    SPANS_READ_FAILED,  // reading failed; what was read before is written
    SPANS_WRITE_FAILED, // writing failed; nothing more was read
};

// Copies to `out` every byte of `in` that lies inside a span, until end of
// input or the first read or write error. Both streams stay the caller's:
// nothing is closed, flushed or repositioned. Memory use is fixed whatever the
// input, and at most a few KiB of it is on the caller's stack, so any thread
// may call it. Reads wait for whole blocks.
span_status extract_spans(std::FILE* in, std::FILE* out);

// The same, reading the descriptor `in_fd` directly: each read takes what the
// input has ready (a pipe, a FIFO, a terminal, a device), and its kept bytes
// are handed to `out` before the next read, so an unbuffered `out` follows a
// live input. Regular files are still read in whole blocks.
span_status extract_spans_fd(int in_fd, std::FILE* out);

// For bytes already in memory: copies to `out` the bytes of in[0, n) that lie
// inside a span and returns how many, `kept`. `*inside` is the state before
// the first byte (false at the start of a stream) and, on return, after the
// last, so a stream can be scanned in pieces of any size. `out` has room for
// n bytes and either is `in` (compaction in place) or does not overlap it.
// out[kept, n) may be overwritten with bytes of no meaning; nothing outside
// out[0, n) is written and nothing outside in[0, n) is read.
std::size_t scan_spans(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside);

#endif
