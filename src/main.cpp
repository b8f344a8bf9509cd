#include <cstdio>

#include "native.h"
#include "span_filter.h"

namespace {

void usage(const native_char* name)
{
    std::printf("Usage: %s <in_file> <out_file> \n", printable(name).c_str());
    std::printf("Parses an input file, generating an output file, consisting of those parts of the \n");
    std::printf("input file that are between an XON character and the next XOFF character. \n\n");
}

// A message for the caller, but where standard output is in_file itself.
int fail(const char* message, bool tell)
{
    if (tell)
        std::printf("%s", message);
    return 1;
}

} // namespace

// Paths arrive as the platform holds them, so every file name it allows opens.
int native_main(int argc, native_char* argv[])
{
    hold_standard_streams();
    if (argc != 3) {
        usage(argc > 0 && argv[0] ? argv[0] : NATIVE("xonspan"));
        return 1;
    }

    bool held = false;
    std::FILE* in = open_input(argv[1], &held);
    bool tell = !stdout_is_input(in, argv[1]);
    // Opening the input as the output would truncate it before a byte was
    // read; a line that another run holds may be writing that run's out_file.
    std::FILE* out = held || (in && same_file(in, argv[1], argv[2])) ? nullptr : open_output(argv[2]);
    if (!in || !out || !take_line(in, argv[1]))
        return fail("Error opening files", tell);

    // Output unbuffered: the filter writes whole blocks, and a byte it has
    // kept is in the file before the next read. The input is read through its
    // descriptor, which is safe because nothing was read through the stream:
    // each read then takes what a pipe, FIFO or device has ready.
    std::setvbuf(out, nullptr, _IONBF, 0);
    span_status status = release_line(in, extract_spans_from(read_input, in, write_output, out));
    std::fclose(in);
    // Some file systems (NFS, FUSE) report a failed write only at close.
    if (std::fclose(out) != 0 && status == SPANS_COPIED)
        status = SPANS_WRITE_FAILED;
    if (status == SPANS_COPIED)
        end_if_interrupted();

    if (status == SPANS_READ_FAILED)
        return fail("Error reading input file", tell);
    if (status == SPANS_WRITE_FAILED)
        return fail("Error writing output file", tell);
    return 0;
}
