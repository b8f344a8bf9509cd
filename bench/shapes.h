#ifndef XONSPAN_BENCH_SHAPES_H
#define XONSPAN_BENCH_SHAPES_H

// Deterministic inputs of the shapes the benchmarks compare.
#include <cstddef>
#include <cstdint>
#include <string>

namespace shapes {

const char* const names[] = {"typical", "no-xon", "giant-span", "dense-1byte", "tiny-1-8", "random-10pct-xon"};

struct rng {
    std::uint64_t s;
    std::uint64_t next()
    {
        // splitmix64: fast, and the same sequence on every platform.
        std::uint64_t z = (s += 0x9e3779b97f4a7c15u);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(next() % n); }
    unsigned range(unsigned lo, unsigned hi) { return lo + below(hi - lo + 1); }
    // A random byte that is neither XON nor XOFF.
    char data() { for (;;) { unsigned char c = static_cast<unsigned char>(next()); if (c != 0x11 && c != 0x13) return static_cast<char>(c); } }
};

// Appends at least `n` bytes of the named shape to `out`, in pieces, so a
// caller can stream gigabytes; returns false for an unknown name.
template <class Sink>
bool generate(const std::string& shape, std::uint64_t n, Sink sink)
{
    rng r{42};
    std::string buf;
    auto add_data = [&](unsigned len) { while (len--) buf += r.data(); };
    std::uint64_t done = 0;
    while (done < n) {
        buf.clear();
        while (buf.size() < (1u << 16)) {
            if (shape == "typical") {
                add_data(r.range(10, 100));
                buf += '\x11';
                add_data(r.range(50, 400));
                buf += '\x13';
            } else if (shape == "no-xon") {
                for (int i = 0; i < 64; ++i) {
                    unsigned char c = static_cast<unsigned char>(r.next());
                    buf += static_cast<char>(c == 0x11 ? 0x10 : c);
                }
            } else if (shape == "giant-span") {
                if (done == 0 && buf.empty())
                    buf += '\x11';
                add_data(64);
            } else if (shape == "dense-1byte") {
                buf += "\x11" "a" "\x13" "b";
            } else if (shape == "tiny-1-8") {
                add_data(r.range(1, 8));
                buf += '\x11';
                add_data(r.range(1, 8));
                buf += '\x13';
            } else if (shape == "random-10pct-xon") {
                for (int i = 0; i < 64; ++i) {
                    unsigned p = r.below(100);
                    buf += p < 10 ? '\x11' : p < 11 ? '\x13' : r.data();
                }
            } else {
                return false;
            }
        }
        sink(buf.data(), buf.size());
        done += buf.size();
    }
    return true;
}

} // namespace shapes

#endif
