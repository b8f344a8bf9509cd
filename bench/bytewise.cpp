// The byte-at-a-time build the benchmark compares against: fgetc and fputc
// through the stream library's default buffering.
#include <cstdio>

#include "../tests/reference.h"

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 1;
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!in || !out)
        return 1;
    reference_extract(in, out);
    std::fclose(in);
    return std::fclose(out) != 0;
}
