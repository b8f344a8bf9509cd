// A program outside the tree that uses the installed filter: `consumer in out`
// extracts the spans of `in` into `out` with extract_spans, then checks that
// scan_spans, fed the same bytes in small pieces, keeps the same ones.
#include <xonspan/span_filter.h>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 2;
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!in || !out || extract_spans(in, out) != SPANS_COPIED || std::fclose(out) != 0)
        return 1;

    std::rewind(in);
    out = std::fopen(argv[2], "rb");
    unsigned char piece[7], kept[7], want[7];
    bool inside = false;
    std::size_t n;
    while ((n = std::fread(piece, 1, sizeof piece, in)) > 0) {
        std::size_t k = scan_spans(piece, n, kept, &inside);
        if (std::fread(want, 1, k, out) != k || std::memcmp(kept, want, k) != 0)
            return 1;
    }
    return std::fgetc(out) == EOF ? 0 : 1;
}
