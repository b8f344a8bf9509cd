#ifndef XONSPAN_SPAN_KERNEL_H
#define XONSPAN_SPAN_KERNEL_H

// The kernel variants: internal, for the filter, its tests and benchmarks.

#include <cstddef>

// A span kernel does what scan_spans (xonspan/span_filter.h) does, under the
// same contract.
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

#endif
