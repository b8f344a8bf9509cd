#include "span_kernel.h"

#include <cstdint>
#include <cstring>

// The word-at-a-time kernel is plain C++ and assumes little-endian words.
#if (defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) || defined(_MSC_VER)
#define XONSPAN_SWAR 1
#endif

// The vector paths use GCC and Clang built-ins and target attributes; any
// other compiler, or another CPU, builds the portable kernels alone.
#if defined(__GNUC__) || defined(__clang__)
// 32-bit ARM from ARMv6 on: byte-lane arithmetic and unaligned word stores.
// GCC builds them into ARMv5 code too, run where the kernel names the CPU
// ARMv6 or later.
#if defined(__arm__) && !defined(__ARM_BIG_ENDIAN) && defined(__linux__) && !defined(__clang__)
#if defined(__ARM_FEATURE_SIMD32) && defined(__ARM_FEATURE_UNALIGNED)
#define XONSPAN_SIMD32 1
#define XONSPAN_SIMD32_TARGET
#elif __ARM_ARCH < 6 && !defined(__thumb__)
#define XONSPAN_SIMD32 1
#define XONSPAN_SIMD32_AT_RUN_TIME 1
#define XONSPAN_SIMD32_TARGET __attribute__((target("arch=armv6")))
#include <sys/auxv.h>
#endif
#endif
#if defined(__x86_64__)
#define XONSPAN_X86_64 1
#include <immintrin.h>
#elif defined(__aarch64__) && !defined(__ARM_BIG_ENDIAN)
#define XONSPAN_NEON 1
#define XONSPAN_NEON_TARGET
#include <arm_neon.h>
#elif defined(__arm__) && defined(__ARM_FP) && !defined(__ARM_BIG_ENDIAN) && defined(__linux__) && \
    !defined(__clang__)
// 32-bit ARM with a floating-point ABI (hard or softfp) may carry NEON code,
// run only when the CPU says it has NEON (GCC: clang takes NEON intrinsics
// only where the whole file is built for NEON).
#define XONSPAN_NEON 1
#define XONSPAN_NEON_AT_RUN_TIME 1
#define XONSPAN_NEON_TARGET __attribute__((target("fpu=neon")))
#include <arm_neon.h>
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif
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

#ifdef XONSPAN_SWAR
namespace {

// A machine word of bytes at a time, for CPUs without a vector path. Flags
// live in bit 0 of each byte; the seven bits above each flag pass a carry on
// to the next byte's flag, so one subtraction runs the carry-chain.
template <typename word>
constexpr word every_byte(unsigned char b)
{
    return ~word(0) / 0xFF * b;
}

template <typename word>
inline word load_word(const unsigned char* p)
{
#if defined(__GNUC__) || defined(__clang__)
    p = static_cast<const unsigned char*>(__builtin_assume_aligned(p, sizeof(word)));
#endif
    word w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

// Bit 0 of each byte that is XON or XOFF. The two differ only in bit 1, so
// one exact zero-byte test (no borrow from byte to byte) finds both.
template <typename word>
inline word control_bytes(word w)
{
    word x = (w | every_byte<word>(2)) ^ every_byte<word>(XOFF);
    word t = (x & every_byte<word>(0x7F)) + every_byte<word>(0x7F);
    return every_byte<word>(1) & ~((t | x) >> 7);
}

template <typename word>
std::size_t scan_words(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside)
{
    // Aligned loads: a CPU without fast unaligned access gets whole words.
    std::size_t head = (sizeof(word) - reinterpret_cast<std::uintptr_t>(in) % sizeof(word)) % sizeof(word);
    if (head > n)
        head = n;
    std::size_t kept = scan_spans_scalar(in, head, out, inside);
    const unsigned char* p = in + head;
    const unsigned char* words_end = p + (n - head) / sizeof(word) * sizeof(word);
    // In place, the bytes of a span are where they belong until the first
    // byte is dropped: they need no store.
    if (out == in && kept == head && *inside)
        for (; p != words_end; p += sizeof(word))
            if (control_bytes(load_word<word>(p)) != 0)
                break;
    unsigned char* dst = out + kept + (static_cast<std::size_t>(p - in) - head);
    word outside = !*inside; // one minus the carry into the next word
    for (; p != words_end; p += sizeof(word)) {
        word w = load_word<word>(p);
        word control = control_bytes(w);
        if (control != 0) {
            // XOFF has bit 1 set, XON does not; on + ~off + carry is
            // control - 2 * off - outside.
            word twice_off = control << 1 & w;
            word sum = control - twice_off - outside;
            // The carry into each flag is the state before its byte.
            word keep = ~(sum | control) & every_byte<word>(1);
            // Bit 1 of the last byte is the carry out of its flag, inverted.
            outside = sum >> (8 * sizeof(word) - 7) & 1;
#pragma GCC unroll 8
            for (unsigned i = 0; i < sizeof w; ++i)
                if (keep >> 8 * i & 1)
                    *dst++ = static_cast<unsigned char>(w >> 8 * i);
        } else if (!outside) { // kept or dropped whole
            // Byte by byte: one store where the CPU stores unaligned words
            // fast, and no trap where it does not.
#pragma GCC unroll 8
            for (unsigned i = 0; i < sizeof w; ++i)
                dst[i] = static_cast<unsigned char>(w >> 8 * i);
            dst += sizeof w;
        }
    }
    *inside = !outside;
    kept = static_cast<std::size_t>(dst - out);
    return kept + scan_spans_scalar(p, n - static_cast<std::size_t>(p - in), dst, inside);
}

// A register's width: a 32-bit CPU spends two instructions on each 64-bit one.
std::size_t scan_spans_swar(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside)
{
    return scan_words<std::uintptr_t>(in, n, out, inside);
}

#ifdef XONSPAN_SIMD32
constexpr unsigned lowest_bit(unsigned m)
{
    unsigned i = 0;
    while (i < 32 && !(m >> i & 1))
        ++i;
    return i;
}

constexpr unsigned bit_count(unsigned m)
{
    return m == 0 ? 0 : (m & 1) + bit_count(m >> 1);
}

// The kept bytes of a word, `keep` bit i for byte i, stored as one word: four
// bytes hold at most two runs. Bytes past the kept ones are junk, inside the
// word just read.
template <unsigned keep>
XONSPAN_SIMD32_TARGET inline unsigned char* store_kept(std::uint32_t w, unsigned char* dst)
{
    if constexpr (keep != 0) {
        constexpr unsigned first = lowest_bit(keep);
        constexpr unsigned length = lowest_bit(~(keep >> first));
        constexpr unsigned rest = keep >> first >> length << length << first;
        std::uint32_t packed = w >> 8 * first;
        if constexpr (rest != 0)
            packed = (packed & (0xFFFFFFFFu >> (32 - 8 * length))) | (w >> 8 * lowest_bit(rest) << 8 * length);
        std::memcpy(dst, &packed, sizeof packed);
    }
    return dst + bit_count(keep);
}

// Four bytes at a time in the ARMv6 byte lanes. Lane by lane, on + off +
// carry carries out of XON (0xFF + 0xFF), passes the carry through any other
// byte (0 + 0xFF) and stops it at XOFF (0 + 0xFE): the carry into a lane is
// the state before its byte, and a kept byte's lane ends at 0.
XONSPAN_SIMD32_TARGET std::size_t scan_spans_simd32(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside)
{
    std::size_t head = (4 - reinterpret_cast<std::uintptr_t>(in) % 4) % 4;
    if (head > n)
        head = n;
    std::size_t kept = scan_spans_scalar(in, head, out, inside);
    const unsigned char* p = in + head;
    const unsigned char* words_end = p + (n - head) / 4 * 4;
    if (out == in && kept == head && *inside)
        for (; p != words_end; p += 4)
            if (control_bytes(load_word<std::uint32_t>(p)) != 0)
                break;
    unsigned char* dst = out + kept + (static_cast<std::size_t>(p - in) - head);
    std::uint32_t carry = *inside;
    for (; p != words_end; p += 4) {
        std::uint32_t w = load_word<std::uint32_t>(p);
        std::uint32_t off = __builtin_arm_uqadd8(w ^ 0x13131313u, 0xFEFEFEFEu);
        __builtin_arm_usub8(w ^ 0x11111111u, 0x01010101u); // GE lanes: not XON
        std::uint64_t sum = std::uint64_t(__builtin_arm_sel(0, 0xFFFFFFFFu) | carry) + off;
        carry = static_cast<std::uint32_t>(sum >> 32);
        __builtin_arm_usub8(static_cast<std::uint32_t>(sum), 0x01010101u); // GE lanes: not kept
        switch (__builtin_arm_usad8(__builtin_arm_sel(0, 0x08040201u), 0)) {
        default: __builtin_unreachable();
        case 0: break;
        case 1: dst = store_kept<1>(w, dst); break;
        case 2: dst = store_kept<2>(w, dst); break;
        case 3: dst = store_kept<3>(w, dst); break;
        case 4: dst = store_kept<4>(w, dst); break;
        case 5: dst = store_kept<5>(w, dst); break;
        case 6: dst = store_kept<6>(w, dst); break;
        case 7: dst = store_kept<7>(w, dst); break;
        case 8: dst = store_kept<8>(w, dst); break;
        case 9: dst = store_kept<9>(w, dst); break;
        case 10: dst = store_kept<10>(w, dst); break;
        case 11: dst = store_kept<11>(w, dst); break;
        case 12: dst = store_kept<12>(w, dst); break;
        case 13: dst = store_kept<13>(w, dst); break;
        case 14: dst = store_kept<14>(w, dst); break;
        case 15: dst = store_kept<15>(w, dst); break;
        }
    }
    *inside = carry != 0;
    kept = static_cast<std::size_t>(dst - out);
    return kept + scan_spans_scalar(p, n - static_cast<std::size_t>(p - in), dst, inside);
}
#endif

} // namespace
#endif

#if defined(XONSPAN_X86_64) || defined(XONSPAN_NEON)
namespace {

// A 32-bit CPU counts in halves: GCC would call a library function.
inline unsigned trailing_zeros(std::uint64_t x)
{
    if (sizeof(void*) < sizeof x && std::uint32_t(x) == 0)
        return 32 + __builtin_ctz(std::uint32_t(x >> 32));
    return sizeof(void*) < sizeof x ? __builtin_ctz(std::uint32_t(x)) : __builtin_ctzll(x);
}

// For the compactions that shuffle 8 bytes at a time.
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

template <void (*masks)(const unsigned char*, std::uint64_t*, std::uint64_t*)>
inline const unsigned char* skip_by_masks(const unsigned char* p, const unsigned char* end)
{
    for (; p != end; p += 64) {
        std::uint64_t on, off;
        masks(p, &on, &off);
        if ((on | off) != 0)
            break;
    }
    return p;
}

// Whole 64-byte blocks by masks, the tail by the scalar loop. Byte i is Inside
// after it is read when on[i] | (inside[i-1] & ~off[i]): exactly the carry out
// of bit i in on + ~off + carry-in, so one addition settles a block.
// Compaction writes the kept bytes of a block to dst <= src and returns the
// end; it may write junk up to dst + 64 but never past the block's own bytes.
// Skipping returns the first 64-byte block from p on that holds XON or XOFF,
// or end.
template <void (*masks)(const unsigned char*, std::uint64_t*, std::uint64_t*),
          unsigned char* (*compact)(const unsigned char*, std::uint64_t, unsigned char*),
          void (*move64)(unsigned char*, const unsigned char*),
          const unsigned char* (*skip)(const unsigned char*, const unsigned char*), bool always_compact = false>
inline std::size_t scan_blocks(const unsigned char* in, std::size_t n, unsigned char* out, bool* inside)
{
    const unsigned char* p = in;
    const unsigned char* blocks_end = in + (n & ~std::size_t(63));
    std::uint64_t carry = *inside;
    std::uint64_t on, off;
    // In place, the bytes of a span are where they belong until the first
    // byte is dropped: they need no store.
    if (out == in && carry)
        p = skip(p, blocks_end);
    unsigned char* dst = out + (p - in);
    for (; p != blocks_end; p += 64) {
        masks(p, &on, &off);
        if (!always_compact && (on | off) == 0) { // kept or dropped whole
            if (carry) {
                move64(dst, p);
                dst += 64;
            }
            continue;
        }
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
        unsigned first = trailing_zeros(keep);
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

} // namespace
#endif

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

// XON and XOFF differ only in bit 1, so one compare of each byte with bit 1
// cleared finds both; four blocks are tested at once.
inline const unsigned char* skip_sse2(const unsigned char* p, const unsigned char* end)
{
    const __m128i low = _mm_set1_epi8(static_cast<char>(~2)), xon = _mm_set1_epi8(static_cast<char>(XON));
    for (; end - p >= 256; p += 256) {
        __m128i any = _mm_setzero_si128();
        for (int i = 0; i < 16; ++i) {
            __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
            any = _mm_or_si128(any, _mm_cmpeq_epi8(_mm_and_si128(v, low), xon));
        }
        if (_mm_movemask_epi8(any) != 0)
            break;
    }
    return skip_by_masks<control_masks>(p, end);
}

__attribute__((target("avx2"))) inline const unsigned char* skip_avx2(const unsigned char* p,
                                                                     const unsigned char* end)
{
    const __m256i low = _mm256_set1_epi8(static_cast<char>(~2)), xon = _mm256_set1_epi8(static_cast<char>(XON));
    for (; end - p >= 256; p += 256) {
        __m256i any = _mm256_setzero_si256();
        for (int i = 0; i < 8; ++i) {
            __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * i));
            any = _mm256_or_si256(any, _mm256_cmpeq_epi8(_mm256_and_si256(v, low), xon));
        }
        if (!_mm256_testz_si256(any, any))
            break;
    }
    return skip_by_masks<control_masks_avx2>(p, end);
}

// (byte & ~2) ^ XON is zero for XON and XOFF alone; a zero byte survives the minimum.
__attribute__((target(XONSPAN_AVX512))) inline const unsigned char* skip_avx512(const unsigned char* p,
                                                                               const unsigned char* end)
{
    const __m512i low = _mm512_set1_epi8(static_cast<char>(~2)), xon = _mm512_set1_epi8(static_cast<char>(XON));
    for (; end - p >= 256; p += 256) {
        __m512i m = _mm512_set1_epi8(-1);
        for (int i = 0; i < 4; ++i)
            m = _mm512_min_epu8(m, _mm512_ternarylogic_epi32(_mm512_loadu_si512(p + 64 * i), low, xon, 0x6A));
        if (_mm512_testn_epi8_mask(m, m) != 0)
            break;
    }
    return skip_by_masks<control_masks_avx512>(p, end);
}

unsigned char* compact_bits(const unsigned char* src, std::uint64_t keep, unsigned char* dst)
{
    for (; keep != 0; keep &= keep - 1)
        *dst++ = src[__builtin_ctzll(keep)];
    return dst;
}

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

__attribute__((flatten)) std::size_t scan_spans_sse2(const unsigned char* in, std::size_t n, unsigned char* out,
                                                     bool* inside)
{
    return scan_blocks<control_masks, compact_bits, move64, skip_sse2>(in, n, out, inside);
}

__attribute__((target("ssse3"), flatten)) std::size_t scan_spans_ssse3(const unsigned char* in, std::size_t n,
                                                                       unsigned char* out, bool* inside)
{
    return scan_blocks<control_masks, compact_shuffle, move64, skip_sse2>(in, n, out, inside);
}

__attribute__((target("avx2"), flatten)) std::size_t scan_spans_avx2(const unsigned char* in, std::size_t n,
                                                                     unsigned char* out, bool* inside)
{
    return scan_blocks<control_masks_avx2, compact_shuffle, move64, skip_avx2>(in, n, out, inside);
}

__attribute__((target(XONSPAN_AVX512), flatten)) std::size_t scan_spans_avx512(const unsigned char* in,
                                                                               std::size_t n, unsigned char* out,
                                                                               bool* inside)
{
    return scan_blocks<control_masks_avx512, compact_compress, move64, skip_avx512, true>(in, n, out, inside);
}

// Each variant needs what the one before it needs: how many of the last this CPU lacks.
std::size_t variants_missing()
{
    __builtin_cpu_init();
    if (!__builtin_cpu_supports("ssse3"))
        return 3;
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vbmi2"))
        return 0;
    if (__builtin_cpu_supports("avx2"))
        return 1;
    return 2;
}

} // namespace
#endif

#ifdef XONSPAN_NEON
namespace {

// Bit i stands for byte i of the 64 that `v` holds as four interleaved lanes
// (byte 4j + k in lane j of val[k]). Each shift-and-insert keeps the high
// bits and puts the next lane's flags below them, so every byte ends up with
// its four bytes' flags in each nibble; the narrowing shift then packs two
// nibbles into each byte of the result, in order.
XONSPAN_NEON_TARGET inline std::uint64_t byte_mask(const uint8x16x4_t& v, unsigned char c)
{
    const uint8x16_t k = vdupq_n_u8(c);
    uint8x16_t m01 = vsriq_n_u8(vceqq_u8(v.val[1], k), vceqq_u8(v.val[0], k), 1);
    uint8x16_t m23 = vsriq_n_u8(vceqq_u8(v.val[3], k), vceqq_u8(v.val[2], k), 1);
    uint8x16_t m = vsriq_n_u8(m23, m01, 2);
    m = vsriq_n_u8(m, m, 4);
    return vget_lane_u64(vreinterpret_u64_u8(vshrn_n_u16(vreinterpretq_u16_u8(m), 4)), 0);
}

XONSPAN_NEON_TARGET inline void control_masks_neon(const unsigned char* p, std::uint64_t* on, std::uint64_t* off)
{
    uint8x16x4_t v = vld4q_u8(p);
    *on = byte_mask(v, XON);
    *off = byte_mask(v, XOFF);
}

// Loads all 64 bytes before storing any, so dst may overlap src.
XONSPAN_NEON_TARGET inline void move64_neon(unsigned char* dst, const unsigned char* src)
{
    uint8x16_t a = vld1q_u8(src), b = vld1q_u8(src + 16), c = vld1q_u8(src + 32), d = vld1q_u8(src + 48);
    vst1q_u8(dst, a);
    vst1q_u8(dst + 16, b);
    vst1q_u8(dst + 32, c);
    vst1q_u8(dst + 48, d);
}

XONSPAN_NEON_TARGET unsigned char* compact_table(const unsigned char* src, std::uint64_t keep, unsigned char* dst)
{
#pragma GCC unroll 8
    for (int g = 0; g < 8; ++g) {
        unsigned m = keep >> 8 * g & 0xff;
        vst1_u8(dst, vtbl1_u8(vld1_u8(src + 8 * g), vld1_u8(shuffle.index[m])));
        dst += shuffle.count[m];
    }
    return dst;
}

XONSPAN_NEON_TARGET __attribute__((flatten)) std::size_t scan_spans_neon(const unsigned char* in, std::size_t n,
                                                                         unsigned char* out, bool* inside)
{
    return scan_blocks<control_masks_neon, compact_table, move64_neon, skip_by_masks<control_masks_neon>>(in, n, out, inside);
}

} // namespace
#endif

#if defined(XONSPAN_NEON_AT_RUN_TIME) || defined(XONSPAN_SIMD32_AT_RUN_TIME)
namespace {

// 32-bit ARM: a CPU without NEON may still have ARMv6; one without ARMv6 has no NEON.
std::size_t variants_missing()
{
    std::size_t missing = 0;
#ifdef XONSPAN_NEON_AT_RUN_TIME
    missing += !(getauxval(AT_HWCAP) & HWCAP_NEON);
#endif
#ifdef XONSPAN_SIMD32_AT_RUN_TIME
    // "v5l", "v6l", "v7l", "v8l"
    const char* platform = reinterpret_cast<const char*>(getauxval(AT_PLATFORM));
    missing += !(platform && platform[0] == 'v' && platform[1] >= '6' && platform[1] <= '9');
#endif
    return missing;
}

} // namespace
#endif

std::size_t span_kernel_variants(const span_kernel_variant** list)
{
    // Slowest first; the runnable ones are a prefix.
    static const span_kernel_variant all[] = {
        {"scalar", scan_spans_scalar},
#ifdef XONSPAN_SWAR
        {"swar", scan_spans_swar},
#endif
#ifdef XONSPAN_SIMD32
        {"simd32", scan_spans_simd32},
#endif
#ifdef XONSPAN_X86_64
        {"sse2", scan_spans_sse2},
        {"ssse3", scan_spans_ssse3},
        {"avx2", scan_spans_avx2},
        {"avx512", scan_spans_avx512},
#endif
#ifdef XONSPAN_NEON
        {"neon", scan_spans_neon},
#endif
    };
    static const std::size_t runnable = [] {
        std::size_t count = sizeof all / sizeof all[0];
#if defined(XONSPAN_X86_64) || defined(XONSPAN_NEON_AT_RUN_TIME) || defined(XONSPAN_SIMD32_AT_RUN_TIME)
        count -= variants_missing();
#endif
        return count;
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
