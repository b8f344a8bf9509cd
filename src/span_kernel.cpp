#include "span_kernel.h"

#include <cstdint>

// The vector paths use GCC and Clang built-ins and target attributes; any
// other compiler, or another CPU, builds the scalar loop alone.
#if (defined(__x86_64__) || defined(_M_X64)) && (defined(__GNUC__) || defined(__clang__))
#define XONSPAN_X86_64 1
#include <immintrin.h>
#endif

namespace {
const unsigned char XON = 0x11;
const unsigned char XOFF = 0x13;
}

std::size_t scan_spans_scalar(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside)
{
    bool state = *inside;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = in[i];
        if (c == XON)
            state = true;
        else if (c == XOFF)
            state = false;
        else if (state)
            out[kept++] = c;
    }
    *inside = state;
    return kept;
}

#ifdef XONSPAN_X86_64
namespace {

// Bit i of each mask stands for byte i of a 64-byte block.
inline void control_masks(const unsigned char* p, std::uint64_t* on, std::uint64_t* off)
{
    const __m128i xon = _mm_set1_epi8(static_cast<char>(XON));
    const __m128i xoff = _mm_set1_epi8(static_cast<char>(XOFF));
    std::uint64_t a = 0, b = 0;
    for (int i = 0; i < 4; ++i) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        a |= std::uint64_t(std::uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, xon)))) << (16 * i);
        b |= std::uint64_t(std::uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(v, xoff)))) << (16 * i);
    }
    *on = a;
    *off = b;
}

__attribute__((target("avx2"))) inline void control_masks_avx2(const unsigned char* p, std::uint64_t* on,
                                                               std::uint64_t* off)
{
    const __m256i xon = _mm256_set1_epi8(static_cast<char>(XON));
    const __m256i xoff = _mm256_set1_epi8(static_cast<char>(XOFF));
    __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
    *on = std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, xon))) |
          std::uint64_t(std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, xon)))) << 32;
    *off = std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, xoff))) |
           std::uint64_t(std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, xoff)))) << 32;
}

#define XONSPAN_AVX512 "avx512f,avx512bw,avx512vbmi2,popcnt"

__attribute__((target(XONSPAN_AVX512))) inline void control_masks_avx512(const unsigned char* p,
                                                                        std::uint64_t* on, std::uint64_t* off)
{
    __m512i v = _mm512_loadu_si512(p);
    *on = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(XON)));
    *off = _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(static_cast<char>(XOFF)));
}

// Compress in a register and store all 64 bytes: the memory form of
// vpcompressb is microcoded and slow on some CPUs.
__attribute__((target(XONSPAN_AVX512))) unsigned char* compact_compress(const unsigned char* src,
                                                                       std::uint64_t keep, unsigned char* dst)
{
    __m512i v = _mm512_maskz_compress_epi8(keep, _mm512_loadu_si512(src));
    _mm512_storeu_si512(dst, v);
    return dst + _mm_popcnt_u64(keep);
}

// Loads all 64 bytes before storing any, so dst may overlap src.
inline void move64(unsigned char* dst, const unsigned char* src)
{
    __m128i v[4];
    for (int i = 0; i < 4; ++i)
        v[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16 * i));
    for (int i = 0; i < 4; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16 * i), v[i]);
}

// Compaction writes the kept bytes of a block to dst <= src and returns the
// end; it may write junk up to dst + 64 but never past the block's own bytes.
unsigned char* compact_bits(const unsigned char* src, std::uint64_t keep, unsigned char* dst)
{
    for (; keep != 0; keep &= keep - 1)
        *dst++ = src[__builtin_ctzll(keep)];
    return dst;
}

struct shuffle_tables {
    unsigned char index[256][8]; // bytes to keep from 8, packed to the front
    unsigned char count[256];
};

constexpr shuffle_tables make_shuffle_tables()
{
    shuffle_tables t{};
    for (int m = 0; m < 256; ++m) {
        int k = 0;
        for (int i = 0; i < 8; ++i)
            if (m & (1 << i))
                t.index[m][k++] = static_cast<unsigned char>(i);
        t.count[m] = static_cast<unsigned char>(k);
    }
    return t;
}

constexpr shuffle_tables shuffle = make_shuffle_tables();

__attribute__((target("ssse3"))) unsigned char* compact_shuffle(const unsigned char* src, std::uint64_t keep,
                                                                unsigned char* dst)
{
    for (int g = 0; g < 8; ++g, keep >>= 8, src += 8) {
        unsigned m = keep & 0xff;
        __m128i v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(src));
        __m128i s = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(shuffle.index[m]));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_shuffle_epi8(v, s));
        dst += shuffle.count[m];
    }
    return dst;
}

// Whole 64-byte blocks by masks, the tail by the scalar loop. Byte i is Inside
// after it is read when on[i] | (inside[i-1] & ~off[i]): exactly the carry out
// of bit i in on + ~off + carry-in, so one addition settles a block.
template <void (*masks)(const unsigned char*, std::uint64_t*, std::uint64_t*),
          unsigned char* (*compact)(const unsigned char*, std::uint64_t, unsigned char*), bool always_compact = false>
inline std::size_t scan_blocks(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside)
{
    const unsigned char* p = in;
    const unsigned char* blocks_end = in + (n & ~std::size_t(63));
    unsigned char* dst = out;
    std::uint64_t carry = *inside;
    for (; p != blocks_end; p += 64) {
        std::uint64_t on, off;
        masks(p, &on, &off);
        std::uint64_t sum = on + ~off + carry;
        std::uint64_t carries_in = sum ^ on ^ ~off; // state before each byte
        std::uint64_t keep = carries_in & ~(on | off);
        carry = (on | (~off & carries_in)) >> 63;

        if (always_compact) { // cheaper than a mispredicted branch where compaction is one instruction
            dst = compact(p, keep, dst);
            continue;
        }
        if (keep == 0)
            continue;
        if (keep == ~std::uint64_t(0)) {
            if (dst != p)
                move64(dst, p);
            dst += 64;
            continue;
        }
        unsigned first = __builtin_ctzll(keep);
        std::uint64_t run = keep >> first;
        if ((run & (run + 1)) == 0 && static_cast<std::size_t>(p - in) + first + 64 <= n) {
            // One run of kept bytes: a whole 64-byte move beats compaction.
            move64(dst, p + first);
            dst += 64 - __builtin_clzll(run); // run is 2^length - 1
            continue;
        }
        dst = compact(p, keep, dst);
    }
    *inside = carry != 0;
    std::size_t kept = static_cast<std::size_t>(dst - out);
    return kept + scan_spans_scalar(p, n - static_cast<std::size_t>(p - in), dst, inside);
}

__attribute__((flatten)) std::size_t scan_spans_sse2(const unsigned char* in, std::size_t n, unsigned char* out,
                                                     bool* inside)
{
    return scan_blocks<control_masks, compact_bits>(in, n, out, inside);
}

__attribute__((target("ssse3"), flatten)) std::size_t scan_spans_ssse3(const unsigned char* in, std::size_t n,
                                                                       unsigned char* out, bool* inside)
{
    return scan_blocks<control_masks, compact_shuffle>(in, n, out, inside);
}

__attribute__((target("avx2"), flatten)) std::size_t scan_spans_avx2(const unsigned char* in, std::size_t n,
                                                                     unsigned char* out, bool* inside)
{
    return scan_blocks<control_masks_avx2, compact_shuffle>(in, n, out, inside);
}

__attribute__((target(XONSPAN_AVX512), flatten)) std::size_t scan_spans_avx512(const unsigned char* in,
                                                                               std::size_t n, unsigned char* out,
                                                                               bool* inside)
{
    return scan_blocks<control_masks_avx512, compact_compress, true>(in, n, out, inside);
}

} // namespace
#endif

std::size_t span_kernel_variants(const span_kernel_variant** list)
{
    // Each variant needs what the one before it needs, so the runnable ones are a prefix.
    static const span_kernel_variant all[] = {
        {"scalar", scan_spans_scalar},
#ifdef XONSPAN_X86_64
        {"sse2", scan_spans_sse2},
        {"ssse3", scan_spans_ssse3},
        {"avx2", scan_spans_avx2},
        {"avx512", scan_spans_avx512},
#endif
    };
    static const std::size_t runnable = [] {
#ifdef XONSPAN_X86_64
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("ssse3"))
            return 2;
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vbmi2"))
            return 5;
        if (__builtin_cpu_supports("avx2"))
            return 4;
        return 3;
#else
        return 1;
#endif
    }();
    *list = all;
    return runnable;
}

span_kernel span_kernel_best()
{
    static const span_kernel best = [] {
        const span_kernel_variant* list;
        std::size_t n = span_kernel_variants(&list);
        return list[n - 1].scan;
    }();
    return best;
}
