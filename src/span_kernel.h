#ifndef XONSPAN_SPAN_KERNEL_H
#define XONSPAN_SPAN_KERNEL_H

// The kernel variants and the filter on a chosen one: internal, for the
// filter and its tests.

#include <cstddef>
#include <cstdio>

#include "span_filter.h"

// A span kernel copies the bytes of in[0, n) that lie inside a span to out and
// returns how many it copied. *inside is the state before the first byte and,
// on return, after the last, so a stream can be scanned block by block.
// out has room for n bytes and either is in (compaction in place) or does not
// overlap it. A kernel reads and writes nothing else.
using span_kernel = std::size_t (*)(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside);

// The plain loop: the portable path, the tail of the vector paths, the oracle.
std::size_t scan_spans_scalar(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside);

struct span_kernel_variant {
    const char* name;
    span_kernel scan;
};

// Every variant built in that this CPU can run, the scalar one first and the
// fastest last.
std::size_t span_kernel_variants(const span_kernel_variant** list);

// The fastest variant for this CPU, chosen on first use.
span_kernel span_kernel_best();

// The filter with a given kernel, so that every variant can be tested.
span_status extract_spans_with(std::FILE* in, std::FILE* out, span_kernel scan);
span_status extract_spans_fd_with(int in_fd, std::FILE* out, span_kernel scan);

#endif
