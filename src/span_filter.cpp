#include "span_filter.h"

void extract_spans(std::FILE* in, std::FILE* out)
{
    extract_spans_with(in, out, span_kernel_best());
}

void extract_spans_with(std::FILE* in, std::FILE* out, span_kernel scan)
{
    // Kept bytes are compacted in place and written straight from the block.
    unsigned char block[128 * 1024];
    bool inside = false;
    for (;;) {
        std::size_t n = std::fread(block, 1, sizeof block, in);
        std::size_t kept = scan(block, n, block, &inside);
        if (kept != 0 && std::fwrite(block, 1, kept, out) != kept)
            return;
        // A short read means end of input or a read error; either ends the scan.
        if (n < sizeof block)
            return;
    }
}
