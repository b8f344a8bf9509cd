// Every kernel variant against the scalar loop, on buffers in memory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reference.h"
#include "span_kernel.h"
#include "variants.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

const unsigned char XON = 0x11, XOFF = 0x13;
const unsigned char CANARY = 0xA5;

struct result {
    std::string out;
    bool inside;
};

// The start of an inaccessible page, after one page that may be used: the
// heap leaves slack past a buffer, where a read too far goes unseen outside a
// sanitizer. One mapping for the whole run.
unsigned char* guard_page()
{
    static unsigned char* const guard = [] {
#ifdef _WIN32
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        const std::size_t page = info.dwPageSize;
        auto* p = static_cast<unsigned char*>(VirtualAlloc(nullptr, 2 * page, MEM_COMMIT | MEM_RESERVE,
                                                           PAGE_READWRITE));
        DWORD old;
        bool ok = p && VirtualProtect(p + page, page, PAGE_NOACCESS, &old);
#else
        const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* m = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        auto* p = m == MAP_FAILED ? nullptr : static_cast<unsigned char*>(m);
        bool ok = p && mprotect(p + page, page, PROT_NONE) == 0;
#endif
        return ok ? p + page : nullptr;
    }();
    return guard;
}

// Runs a kernel on data placed `offset` bytes into a 64-byte aligned buffer
// that ends with the data (so a sanitizer sees any read past it), or with
// `guarded` right before an inaccessible page, either into a separate buffer
// or in place, and checks it wrote nothing past n.
result scan(span_kernel kernel, const std::vector<unsigned char>& data, std::size_t offset, bool inside,
            bool in_place, bool guarded = false)
{
    const std::size_t n = data.size(), slack = 64;
    const std::align_val_t align{64};
    auto* in_buf = static_cast<unsigned char*>(::operator new[](std::max<std::size_t>(offset + n, 1), align));
    auto* out_buf = static_cast<unsigned char*>(::operator new[](offset + n + slack, align));
    std::memset(out_buf, CANARY, offset + n + slack);
    unsigned char* in = guarded ? guard_page() - n : in_buf + offset;
    std::copy(data.begin(), data.end(), in);
    unsigned char* out = in_place ? in : out_buf + offset;
    std::size_t kept = kernel(in, n, out, &inside);
    EXPECT_LE(kept, n);
    EXPECT_EQ(std::count(out_buf + offset + n, out_buf + offset + n + slack, CANARY), std::ptrdiff_t(slack))
        << "wrote past the end";
    result r{std::string(out, out + kept), inside};
    ::operator delete[](in_buf, align);
    ::operator delete[](out_buf, align);
    return r;
}

class Kernel : public testing::TestWithParam<std::size_t> {
protected:
    span_kernel kernel() const { return kernel_variant(GetParam()).scan; }

    // Compares with the plain reference in both starting states and both buffer layouts.
    void check(const std::vector<unsigned char>& data, std::size_t offset, bool guarded = false)
    {
        const std::string text(data.begin(), data.end());
        for (bool inside : {false, true}) {
            const std::string want = reference_spans(text, inside);
            bool want_inside = inside;
            for (unsigned char c : data)
                want_inside = c == XON ? true : c == XOFF ? false : want_inside;
            for (bool in_place : {false, true}) {
                result got = scan(kernel(), data, offset, inside, in_place, guarded);
                ASSERT_EQ(got.out, want) << "length " << data.size() << ", offset " << offset
                                         << ", inside " << inside << ", in place " << in_place;
                ASSERT_EQ(got.inside, want_inside);
            }
        }
    }
};

INSTANTIATE_FOR_EVERY_KERNEL(Kernel);

// All lengths to 200 at every offset within a block, an XON and an XOFF at
// every position and every order, over data that is otherwise all kept.
TEST_P(Kernel, MarkersAtEveryPositionLengthAndOffset)
{
    std::vector<unsigned char> data;
    for (std::size_t n = 0; n <= 200; ++n) {
        data.assign(n, 0);
        for (std::size_t i = 0; i < n; ++i)
            data[i] = static_cast<unsigned char>('a' + i % 26);
        // Loads are unaligned, so past one block a few offsets stand for all.
        for (std::size_t offset = 0; offset < 64; offset += (n > 72 ? 9 : 1)) {
            check(data, offset);
            for (std::size_t p = 0; p < n; ++p) {
                unsigned char saved = data[p];
                for (std::size_t q : {(p + 1) % n, (p + n / 2) % n}) {
                    if (q == p)
                        continue;
                    unsigned char saved_q = data[q];
                    data[p] = XON;
                    data[q] = XOFF;
                    check(data, offset);
                    data[p] = XOFF;
                    data[q] = XON;
                    check(data, offset);
                    data[q] = saved_q;
                }
                data[p] = saved;
            }
            if (HasFatalFailure())
                return;
        }
    }
}

// Each block shape the vector paths tell apart: all kept, none kept, one run
// of every length and start, a lone marker anywhere, scattered bytes.
TEST_P(Kernel, EveryBlockShape)
{
    std::mt19937_64 rng(7);
    for (std::size_t start = 0; start < 64; ++start)
        for (std::size_t len = 0; start + len <= 64; ++len) {
            std::vector<unsigned char> data(192, 'x');
            data[64 + start] = XON; // the run then starts one byte later
            if (64 + start + 1 + len < data.size())
                data[64 + start + 1 + len] = XOFF;
            check(data, start % 3);
        }
    // A lone marker past the first blocks, which the in-place paths skip several at a time.
    for (std::size_t at = 0; at < 640; ++at)
        for (unsigned char c : {XON, XOFF}) {
            std::vector<unsigned char> data(640, 'x');
            data[at] = c;
            check(data, at % 5);
        }
    for (int round = 0; round < 2000; ++round) {
        std::vector<unsigned char> data(64 * (1 + rng() % 4) + rng() % 64);
        unsigned density = 1 + rng() % 60;
        for (unsigned char& c : data) {
            unsigned r = rng() % 100;
            c = r < density / 2 ? XON : r < density ? XOFF : static_cast<unsigned char>(rng());
        }
        check(data, rng() % 64);
        if (HasFatalFailure())
            return;
    }
}

// Input that ends at an inaccessible page: no load may reach past it, not
// even the whole-block move of one run that ends near the end of the input.
TEST_P(Kernel, ReadsNothingPastTheEnd)
{
    ASSERT_NE(guard_page(), nullptr);
    std::mt19937_64 rng(5);
    for (std::size_t n = 0; n <= 300; ++n) {
        std::vector<unsigned char> data(n, 'x');
        for (std::size_t at = 0; at < n; data[at++] = 'x') { // kept from at + 1 to the end
            data[at] = XON;
            check(data, 0, true);
        }
        for (unsigned density : {1, 10, 50}) {
            for (unsigned char& c : data) {
                unsigned r = rng() % 100;
                c = r < density / 2 ? XON : r < density ? XOFF : static_cast<unsigned char>(rng());
            }
            check(data, 0, true);
        }
        if (HasFatalFailure())
            return;
    }
}

// The state carries from one call to the next whatever the split.
TEST_P(Kernel, StateCarriesAcrossArbitrarySplits)
{
    std::mt19937_64 rng(11);
    for (int round = 0; round < 200; ++round) {
        std::vector<unsigned char> data(1 + rng() % 5000);
        for (unsigned char& c : data) {
            unsigned r = rng() % 64;
            c = r == 0 ? XON : r == 1 ? XOFF : static_cast<unsigned char>(rng());
        }
        const std::string want = reference_spans(std::string(data.begin(), data.end()));
        std::vector<unsigned char> out(data.size());
        std::string got;
        bool inside = false;
        for (std::size_t pos = 0; pos < data.size();) {
            std::size_t len = std::min<std::size_t>(data.size() - pos, rng() % 3 ? rng() % 70 : rng() % 700);
            std::size_t kept = kernel()(data.data() + pos, len, out.data(), &inside);
            got.append(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(kept));
            pos += len;
        }
        ASSERT_EQ(got, want) << "round " << round;
    }
}

TEST(KernelList, ScalarFirstAndBestLast)
{
    const span_kernel_variant* v;
    std::size_t n = span_kernel_variants(&v);
    ASSERT_GE(n, 1u);
    EXPECT_STREQ(v[0].name, "scalar");
    EXPECT_EQ(span_kernel_best(), v[n - 1].scan);
    for (std::size_t i = 0; i < n; ++i)
        std::printf("kernel variant available: %s\n", v[i].name);
    // Where the (emulated) CPU is known, so is the variant it must get.
    if (const char* want = std::getenv("XONSPAN_BEST_KERNEL")) {
        EXPECT_STREQ(v[n - 1].name, want);
    }
}

} // namespace
