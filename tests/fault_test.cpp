// extract_spans when its streams fail part way, on streams that fail on cue.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>

#include "reference.h"
#include <xonspan/span_filter.h>

#if defined(__GLIBC__)
#include <sys/types.h>

namespace {

const std::size_t NEVER = std::string::npos;

// A stream over memory whose reads or writes fail once `limit` bytes have passed.
struct fake_file {
    const std::string* source;
    std::string sink;
    std::size_t pos = 0;
    std::size_t limit = NEVER;
};

ssize_t fake_read(void* cookie, char* buf, std::size_t size)
{
    auto* f = static_cast<fake_file*>(cookie);
    std::size_t end = std::min(f->source->size(), f->limit);
    if (f->pos >= end)
        return f->pos < f->source->size() ? -1 : 0;
    std::size_t n = std::min(size, end - f->pos);
    f->source->copy(buf, n, f->pos);
    f->pos += n;
    return static_cast<ssize_t>(n);
}

ssize_t fake_write(void* cookie, const char* buf, std::size_t size)
{
    auto* f = static_cast<fake_file*>(cookie);
    std::size_t room = f->limit == NEVER ? size : f->limit - std::min(f->limit, f->sink.size());
    if (room == 0)
        return -1;
    std::size_t n = std::min(size, room);
    f->sink.append(buf, n);
    return static_cast<ssize_t>(n);
}

std::FILE* open_fake(fake_file* f, const char* mode)
{
    cookie_io_functions_t io{};
    io.read = fake_read;
    io.write = fake_write;
    return fopencookie(f, mode, io);
}

struct fault_case {
    const char* what;
    std::size_t input_size;
    std::size_t read_limit;
    std::size_t write_limit;
};

TEST(Faults, FilterStopsAtTheFirstFailureAndKeepsWhatCameBefore)
{
    const fault_case cases[] = {
        {"output fails at the first write", 5 << 20, NEVER, 0},
        {"output fails after megabytes", 9 << 20, NEVER, 3 << 20},
        {"input fails at the first read", 1 << 20, 0, NEVER},
        {"input fails after megabytes", 9 << 20, (4 << 20) + 7, NEVER},
        {"no fault", 3 << 20, NEVER, NEVER},
    };
    std::mt19937_64 rng(5);
    for (const fault_case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string input(c.input_size, '\0');
        for (char& ch : input) {
            unsigned r = rng() % 200;
            ch = r == 0 ? '\x11' : r == 1 ? '\x13' : static_cast<char>('a' + r % 26);
        }
        input[0] = '\x11';
        fake_file src{&input, {}, 0, c.read_limit};
        fake_file dst{nullptr, {}, 0, c.write_limit};
        std::FILE* in = open_fake(&src, "r");
        std::FILE* out = open_fake(&dst, "w");
        ASSERT_TRUE(in && out);

        span_status status = extract_spans(in, out);
        bool read_failed = std::ferror(in), write_failed = std::ferror(out);
        EXPECT_EQ(status, c.write_limit != NEVER  ? SPANS_WRITE_FAILED
                          : c.read_limit != NEVER ? SPANS_READ_FAILED
                                                  : SPANS_COPIED);
        std::fclose(in);
        write_failed = std::fclose(out) != 0 || write_failed;

        EXPECT_EQ(read_failed, c.read_limit != NEVER);
        EXPECT_EQ(write_failed, c.write_limit != NEVER);
        const std::string want = reference_spans(input.substr(0, std::min(c.read_limit, input.size())));
        if (c.write_limit == NEVER) {
            EXPECT_EQ(dst.sink, want);
        } else {
            EXPECT_EQ(dst.sink, want.substr(0, c.write_limit));
            // Once the output has failed nothing more is read.
            EXPECT_LT(src.pos, input.size());
        }
    }
}

} // namespace

#else

TEST(Faults, FilterStopsAtTheFirstFailureAndKeepsWhatCameBefore)
{
    GTEST_SKIP() << "needs fopencookie (glibc) to make streams fail on cue";
}

#endif
