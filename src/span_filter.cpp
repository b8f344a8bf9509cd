#include "span_filter.h"

#include <cerrno>
#include <cstdlib>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

// 128 KiB: large enough that a file is read at the speed of a copy. It is
// not put on the stack, which may be smaller than that on a thread; if it
// cannot be had, a small block on the stack still gets every byte through.
const std::size_t BLOCK = 128 * 1024;
const std::size_t SMALL_BLOCK = 4 * 1024;

// On Windows straight from the system: the runtime's heap takes a
// millisecond longer to hand out a block this size under Wine. Elsewhere on
// a page boundary: glibc maps a block this size 16 bytes past one, so every
// copy into it and every 64-byte load from it would straddle cache lines.
unsigned char* allocate_block()
{
#ifdef _WIN32
    return static_cast<unsigned char*>(VirtualAlloc(nullptr, BLOCK, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
#else
    return static_cast<unsigned char*>(std::aligned_alloc(4096, BLOCK));
#endif
}

void free_block(unsigned char* block)
{
#ifdef _WIN32
    VirtualFree(block, 0, MEM_RELEASE);
#else
    std::free(block);
#endif
}

template <typename Run>
span_status with_block(Run run)
{
    unsigned char* block = allocate_block();
    if (!block) {
        unsigned char small[SMALL_BLOCK];
        return run(small, sizeof small);
    }
    span_status status = run(block, BLOCK);
    free_block(block);
    return status;
}

// One read of at most `n` bytes: what is ready, 0 at end of input, -1 on error.
std::ptrdiff_t read_some(void* source, unsigned char* buf, std::size_t n)
{
    int fd = *static_cast<int*>(source);
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

bool write_stream(void* sink, const unsigned char* buf, std::size_t n)
{
    return std::fwrite(buf, 1, n, static_cast<std::FILE*>(sink)) == n;
}

// Kept bytes are compacted in place and written straight from the block.
bool pass_on(unsigned char* block, std::size_t n, span_writer write, void* sink, span_kernel scan, bool* inside)
{
    std::size_t kept = scan(block, n, block, inside);
    return kept == 0 || write(sink, block, kept);
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
    return extract_spans_from(read_some, &in_fd, write_stream, out);
}

span_status extract_spans_from(span_reader read, void* source, span_writer write, void* sink)
{
    span_kernel scan = span_kernel_best();
    return with_block([&](unsigned char* block, std::size_t size) {
        return extract_spans_from_with(read, source, write, sink, scan, block, size);
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
        if (!pass_on(block, n, write_stream, out, scan, &inside))
            return SPANS_WRITE_FAILED;
        // A short read means end of input or a read error; either ends the scan.
        if (n < size)
            return std::ferror(in) ? SPANS_READ_FAILED : SPANS_COPIED;
    }
}

span_status extract_spans_fd_with(int in_fd, std::FILE* out, span_kernel scan, unsigned char* block,
                                  std::size_t size)
{
    return extract_spans_from_with(read_some, &in_fd, write_stream, out, scan, block, size);
}

span_status extract_spans_from_with(span_reader read, void* source, span_writer write, void* sink,
                                    span_kernel scan, unsigned char* block, std::size_t size)
{
    bool inside = false;
    for (;;) {
        std::ptrdiff_t n = read(source, block, size);
        if (n <= 0)
            return n == 0 ? SPANS_COPIED : SPANS_READ_FAILED;
        if (!pass_on(block, static_cast<std::size_t>(n), write, sink, scan, &inside))
            return SPANS_WRITE_FAILED;
    }
}
