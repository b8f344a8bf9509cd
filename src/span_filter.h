#ifndef XONSPAN_SRC_SPAN_FILTER_H
#define XONSPAN_SRC_SPAN_FILTER_H

// The filter on a chosen kernel and a given block: internal, so that every
// kernel variant and the small block used when no large one can be had are
// tested through the same paths as the public functions.

#include <xonspan/span_filter.h>

#include "span_kernel.h"

span_status extract_spans_with(std::FILE* in, std::FILE* out, span_kernel scan, unsigned char* block,
                               std::size_t size);
span_status extract_spans_fd_with(int in_fd, std::FILE* out, span_kernel scan, unsigned char* block,
                                  std::size_t size);

#endif
