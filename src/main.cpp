#include <cstdio>
#include <filesystem>
#include <system_error>

#include "span_filter.h"

namespace {

void usage(const char* name)
{
    std::printf("Usage: %s <in_file> <out_file> \n", name);
    std::printf("Parses an input file, generating an output file, consisting of those parts of the \n");
    std::printf("input file that are between an XON character and the next XOFF character. \n\n");
}

// Opening the output would truncate the input before a byte of it was read.
bool same_regular_file(const char* in_path, const char* out_path)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(in_path, ec) &&
           std::filesystem::equivalent(in_path, out_path, ec);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 3) {
        usage(argc > 0 && argv[0] ? argv[0] : "xonspan");
        return 1;
    }

    // Binary mode: every byte passes unchanged on every platform.
    std::FILE* in = std::fopen(argv[1], "rb");
    std::FILE* out = in && same_regular_file(argv[1], argv[2]) ? nullptr : std::fopen(argv[2], "wb");
    if (!in || !out) {
        std::printf("Error opening files");
        return 1;
    }

    // The filter moves whole blocks; stream buffers would only add a copy.
    std::setvbuf(in, nullptr, _IONBF, 0);
    std::setvbuf(out, nullptr, _IONBF, 0);
    extract_spans(in, out);

    bool read_failed = std::ferror(in) != 0;
    bool write_failed = std::ferror(out) != 0;
    std::fclose(in);
    // Some file systems (NFS, FUSE) report a failed write only at close.
    if (std::fclose(out) != 0)
        write_failed = true;

    if (read_failed) {
        std::printf("Error reading input file");
        return 1;
    }
    if (write_failed) {
        std::printf("Error writing output file");
        return 1;
    }
    return 0;
}
