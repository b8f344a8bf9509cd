// extract_spans over real file streams, against the byte-at-a-time reference.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "reference.h"
#include "span_filter.h"
#include "variants.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

const char XON = '\x11';
const char XOFF = '\x13';

fs::path temp_path(const char* name)
{
    static const fs::path dir = [] {
        fs::path d = fs::temp_directory_path() / ("xonspan-filter-test-" + std::to_string(std::random_device{}()));
        fs::create_directories(d);
        return d;
    }();
    return dir / name;
}

void write_file(const fs::path& p, const std::string& bytes)
{
    std::FILE* f = std::fopen(p.string().c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
}

std::string read_file(const fs::path& p)
{
    std::string bytes;
    std::FILE* f = std::fopen(p.string().c_str(), "rb");
    if (!f)
        return bytes;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        bytes.append(buf, n);
    std::fclose(f);
    return bytes;
}

// Runs the filter from one file to another, through the stream and through
// its descriptor as main does, and returns the output if both agree. With a
// given kernel the descriptor path reads into a small block of odd size, as
// when no large block can be had.
std::string filter(const std::string& input, span_kernel scan = nullptr)
{
    static unsigned char large[128 * 1024];
    unsigned char small[4093];
    fs::path in_path = temp_path("in"), out_path = temp_path("out");
    write_file(in_path, input);
    std::string outputs[2];
    for (bool by_descriptor : {false, true}) {
        std::FILE* in = std::fopen(in_path.string().c_str(), "rb");
        std::FILE* out = std::fopen(out_path.string().c_str(), "wb");
        EXPECT_TRUE(in && out);
        if (!in || !out)
            return {};
        span_status status;
        if (by_descriptor)
            status = scan ? extract_spans_fd_with(fileno(in), out, scan, small, sizeof small)
                          : extract_spans_fd(fileno(in), out);
        else
            status = scan ? extract_spans_with(in, out, scan, large, sizeof large) : extract_spans(in, out);
        EXPECT_EQ(status, SPANS_COPIED);
        std::fclose(in);
        EXPECT_EQ(std::fclose(out), 0);
        outputs[by_descriptor] = read_file(out_path);
    }
    EXPECT_EQ(outputs[0], outputs[1]) << "the stream and the descriptor paths differ";
    return outputs[1];
}

std::string random_bytes(std::mt19937_64& rng, size_t n, unsigned control_percent)
{
    std::string s(n, '\0');
    for (char& c : s) {
        unsigned r = rng() % 100;
        c = r < control_percent / 2 ? XON : r < control_percent ? XOFF : static_cast<char>(rng());
    }
    return s;
}

// Every test below runs once per kernel variant this CPU can run.
class Filter : public testing::TestWithParam<std::size_t> {
protected:
    std::string run(const std::string& input) { return filter(input, kernel_variant(GetParam()).scan); }
};

INSTANTIATE_FOR_EVERY_KERNEL(Filter);

struct table_case {
    const char* what;
    std::string in;
    std::string out;
};

TEST_P(Filter, TransitionTableAndEdgeCases)
{
    const std::string s(1, XON), e(1, XOFF);
    const table_case cases[] = {
        {"empty input", "", ""},
        {"no XON", std::string("abc\x13\x00\xff", 6) + e, ""},
        {"long input without XON", std::string(300000, 'x'), ""},
        {"two spans among noise", "ab" + s + "cd" + e + "e" + s + "f" + e + "g", "cdf"},
        {"span open at end of input", s + "abc", "abc"},
        {"XOFF while outside is dropped", e + "a" + s + "b", "b"},
        {"XONs do not nest", s + s + "a" + e + e + "b", "a"},
        {"empty span", s + e, ""},
        {"XON inside a span is dropped", s + "a" + s + "b" + e + "c", "ab"},
        {"control bytes only", s + e + s + s + e + e, ""},
        {"one-byte spans back to back", s + "a" + e + s + "b" + e + s + "c", "abc"},
        {"NUL and 0xFF are data", s + std::string("\x00\xff", 2) + e, std::string("\x00\xff", 2)},
        {"line ends and 0x1A are data", s + "\r\n\n\r\x1a" + "z" + e, "\r\n\n\r\x1a" "z"},
    };
    for (const table_case& c : cases)
        EXPECT_EQ(run(c.in), c.out) << c.what;
}

TEST_P(Filter, EveryDataByteValueIsCopiedUnchanged)
{
    std::string data;
    for (int b = 0; b < 256; ++b)
        if (b != 0x11 && b != 0x13)
            data += static_cast<char>(b);
    ASSERT_EQ(data.size(), 254u);
    EXPECT_EQ(run(XON + data + XOFF + data), data);
}

// Sizes on both sides of the usual stream and block boundaries.
TEST_P(Filter, MatchesReferenceOnRandomInput)
{
    const size_t sizes[] = {1, 63, 64, 65, 4095, 4096, 4097, 65535, 65536, 65537,
                            131071, 131072, 131073, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, 3 << 20};
    const unsigned densities[] = {0, 1, 10, 50, 100};
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        std::mt19937_64 rng(seed);
        size_t n = sizes[seed % (sizeof sizes / sizeof *sizes)];
        unsigned density = densities[seed % (sizeof densities / sizeof *densities)];
        std::string in = random_bytes(rng, n, density);
        if (seed % 2)
            in[0] = XON; // so that sparse control bytes leave long spans
        ASSERT_EQ(run(in), reference_spans(in)) << "seed " << seed << ", size " << n;
    }
}

// A thread with a small stack, such as the default one of musl-based systems.
void run_on_a_64_kib_stack(std::function<void()> body)
{
    const std::size_t stack = 64 * 1024;
#ifdef _WIN32
    auto start = [](void* p) -> DWORD {
        (*static_cast<std::function<void()>*>(p))();
        return 0;
    };
    HANDLE thread = CreateThread(nullptr, stack, start, &body, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    ASSERT_NE(thread, nullptr);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
#else
    auto start = [](void* p) -> void* {
        (*static_cast<std::function<void()>*>(p))();
        return nullptr;
    };
    pthread_attr_t attr;
    pthread_t thread;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    // Some systems allow no less (128 KiB on 64-bit ARM, for its 64 KiB pages).
    ASSERT_EQ(pthread_attr_setstacksize(&attr, std::max<std::size_t>(stack, PTHREAD_STACK_MIN)), 0);
    ASSERT_EQ(pthread_create(&thread, &attr, start, &body), 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
#endif
}

TEST(FilterDefault, UsesAKernelThatMatchesTheReference)
{
    std::mt19937_64 rng(99);
    std::string in = random_bytes(rng, 300000, 10);
    EXPECT_EQ(filter(in), reference_spans(in));
    run_on_a_64_kib_stack([&] { EXPECT_EQ(filter(in), reference_spans(in)) << "on a 64 KiB stack"; });
}

#ifndef _WIN32
std::atomic<bool> interrupted{false};

// Thread `tid` is asleep, as in a blocking read; under qemu-user too, whose
// threads are the host's. Its name, in parentheses, may hold any byte.
bool asleep(pid_t tid)
{
    std::string stat = read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::size_t name_end = stat.rfind(')');
    return name_end != std::string::npos && stat.compare(name_end, 3, ") S") == 0;
}

// A signal whose handler asks for no restart fails the blocked read with
// EINTR; the read is made again and no byte is lost.
TEST(FilterDefault, ReadInterruptedByASignalIsRetried)
{
    if (!fs::exists("/proc/self/task"))
        GTEST_SKIP() << "no /proc to tell when the reader blocks";
    interrupted = false;
    struct sigaction note {}, old;
    note.sa_handler = [](int) { interrupted = true; }; // no SA_RESTART
    ASSERT_EQ(sigaction(SIGUSR1, &note, &old), 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    fs::path out_path = temp_path("out");
    std::FILE* out = std::fopen(out_path.string().c_str(), "wb");
    ASSERT_NE(out, nullptr);
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    span_status status = SPANS_READ_FAILED;
    std::thread reader([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        status = extract_spans_fd(fds[0], out);
        done = true;
    });
    // Nothing is written before the handler has run, so the read cannot return data instead of EINTR.
    while (!done && (tid == 0 || !asleep(tid)))
        std::this_thread::yield();
    pthread_kill(reader.native_handle(), SIGUSR1);
    while (!interrupted && !done)
        std::this_thread::yield();
    const std::string in = std::string("a") + XON + "bc" + XOFF + "d";
    EXPECT_EQ(write(fds[1], in.data(), in.size()), static_cast<ssize_t>(in.size()));
    close(fds[1]);
    reader.join();
    close(fds[0]);
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(std::fclose(out), 0);
    EXPECT_EQ(status, SPANS_COPIED);
    EXPECT_EQ(read_file(out_path), "bc");
}
#endif

} // namespace
