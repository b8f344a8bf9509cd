// The plain copy the Windows benchmark compares against: fread and fwrite of
// 128 KiB blocks, binary and unbuffered, built with the same toolchain and
// runtime as xonspan.
#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 3)
        return 2;
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = std::fopen(argv[2], "wb");
    if (!in || !out)
        return 1;
    std::setvbuf(in, nullptr, _IONBF, 0);
    std::setvbuf(out, nullptr, _IONBF, 0);
    static unsigned char block[128 * 1024];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, in)) > 0)
        if (std::fwrite(block, 1, n, out) != n)
            return 1;
    std::fclose(in);
    return std::fclose(out) != 0;
}
