// make_input SHAPE MIB FILE: writes MIB MiB of a benchmark input shape.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "shapes.h"

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: make_input SHAPE MIB FILE\n");
        return 2;
    }
    std::FILE* f = std::fopen(argv[3], "wb");
    if (!f) {
        std::perror(argv[3]);
        return 1;
    }
    std::uint64_t left = std::strtoull(argv[2], nullptr, 10) << 20;
    bool known = shapes::generate(argv[1], left, [&](const char* p, std::size_t n) {
        std::size_t take = n < left ? n : static_cast<std::size_t>(left);
        std::fwrite(p, 1, take, f);
        left -= take;
    });
    if (std::fclose(f) != 0 || !known) {
        std::fprintf(stderr, "make_input: %s\n", known ? "write failed" : "unknown shape");
        return 1;
    }
    return 0;
}
