#include "span_kernel.h"

#include <cerrno>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// 128 KiB: large enough that a file is read at the speed of a copy, small
// enough for the stack.
const std::size_t BLOCK = 128 * 1024;

// One read of at most `n` bytes: what is ready, 0 at end of input, -1 on error.
std::ptrdiff_t read_some(int fd, unsigned char* buf, std::size_t n)
{
#ifdef _WIN32
    return _read(fd, buf, static_cast<unsigned>(n));
#else
    ssize_t got;
    do
        got = read(fd, buf, n);
    while (got < 0 && errno == EINTR);
    return got;
#endif
}

// Kept bytes are compacted in place and written straight from the block.
bool pass_on(unsigned char* block, std::size_t n, std::FILE* out, span_kernel scan, bool* inside)
{
    std::size_t kept = scan(block, n, block, inside);
    return kept == 0 || std::fwrite(block, 1, kept, out) == kept;
}

} // namespace

span_status extract_spans(std::FILE* in, std::FILE* out)
{
    return extract_spans_with(in, out, span_kernel_best());
}

span_status extract_spans_fd(int in_fd, std::FILE* out)
{
    return extract_spans_fd_with(in_fd, out, span_kernel_best());
}

span_status extract_spans_with(std::FILE* in, std::FILE* out, span_kernel scan)
{
    unsigned char block[BLOCK];
    bool inside = false;
    for (;;) {
        std::size_t n = std::fread(block, 1, sizeof block, in);
        if (!pass_on(block, n, out, scan, &inside))
            return SPANS_WRITE_FAILED;
        // A short read means end of input or a read error; either ends the scan.
        if (n < sizeof block)
            return std::ferror(in) ? SPANS_READ_FAILED : SPANS_COPIED;
    }
}

span_status extract_spans_fd_with(int in_fd, std::FILE* out, span_kernel scan)
{
    unsigned char block[BLOCK];
    bool inside = false;
    for (;;) {
        std::ptrdiff_t n = read_some(in_fd, block, sizeof block);
        if (n <= 0)
            return n == 0 ? SPANS_COPIED : SPANS_READ_FAILED;
        if (!pass_on(block, static_cast<std::size_t>(n), out, scan, &inside))
            return SPANS_WRITE_FAILED;
    }
}
