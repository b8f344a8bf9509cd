#ifndef XONSPAN_SRC_SPAN_FILTER_H
#define XONSPAN_SRC_SPAN_FILTER_H

// The filter on a chosen kernel and a given block: internal, so that every
// kernel variant and the small block used when no large one can be had are
// tested through the same paths as the public functions.

#include <xonspan/span_filter.h>

#include "span_kernel.h"

#include <cstddef>

span_status extract_spans_with(std::FILE* in, std::FILE* out, span_kernel scan, unsigned char* block,
                               std::size_t size);

// One read of at most `n` bytes from `source`: what has arrived, 0 at the end
// of the input, -1 on an error. One write of all `n` bytes to `sink`: false
// on an error. The tool reads and writes through its own, which know about
// serial lines and signals.
using span_reader = std::ptrdiff_t (*)(void* source, unsigned char* buf, std::size_t n);
using span_writer = bool (*)(void* sink, const unsigned char* buf, std::size_t n);

// Like extract_spans_fd, with each read made by `read` and each write by `write`.
span_status extract_spans_from(span_reader read, void* source, span_writer write, void* sink);
span_status extract_spans_from_with(span_reader read, void* source, span_writer write, void* sink,
                                    span_kernel scan, unsigned char* block, std::size_t size);
span_status extract_spans_fd_with(int in_fd, std::FILE* out, span_kernel scan, unsigned char* block,
                                  std::size_t size);

#endif
