#include "span_filter.h"

#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

// 128 KiB: large enough that a file is read at the speed of a copy. It comes
// from the heap, since a thread's stack may be smaller than that; if it cannot
// be had, a small block on the stack still gets every byte through.
const std::size_t BLOCK = 128 * 1024;
const std::size_t SMALL_BLOCK = 4 * 1024;

template <typename Run>
span_status with_block(Run run)
{
    unsigned char* block = static_cast<unsigned char*>(std::malloc(BLOCK));
    if (!block) {
        unsigned char small[SMALL_BLOCK];
        return run(small, sizeof small);
    }
    span_status status = run(block, BLOCK);
    std::free(block);
    return status;
}

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
    span_kernel scan = span_kernel_best();
    return with_block([&](unsigned char* block, std::size_t size) {
        return extract_spans_with(in, out, scan, block, size);
    });
}

span_status extract_spans_fd(int in_fd, std::FILE* out)
{
    span_kernel scan = span_kernel_best();
    return with_block([&](unsigned char* block, std::size_t size) {
        return extract_spans_fd_with(in_fd, out, scan, block, size);
    });
}

std::size_t scan_spans(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside)
{
    return span_kernel_best()(in, n, out, inside);
}

span_status extract_spans_with(std::FILE* in, std::FILE* out, span_kernel scan, unsigned char* block,
                               std::size_t size)
{
    bool inside = false;
    for (;;) {
        std::size_t n = std::fread(block, 1, size, in);
        if (!pass_on(block, n, out, scan, &inside))
            return SPANS_WRITE_FAILED;
        // A short read means end of input or a read error; either ends the scan.
        if (n < size)
            return std::ferror(in) ? SPANS_READ_FAILED : SPANS_COPIED;
    }
}

span_status extract_spans_fd_with(int in_fd, std::FILE* out, span_kernel scan, unsigned char* block,
                                  std::size_t size)
{
    bool inside = false;
    for (;;) {
        std::ptrdiff_t n = read_some(in_fd, block, size);
        if (n <= 0)
            return n == 0 ? SPANS_COPIED : SPANS_READ_FAILED;
        if (!pass_on(block, static_cast<std::size_t>(n), out, scan, &inside))
            return SPANS_WRITE_FAILED;
    }
}
