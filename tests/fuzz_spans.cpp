// Differential fuzz target: every kernel variant, fed in arbitrary splits with
// its state carried, and extract_spans over in-memory streams, must produce
// exactly what the byte-at-a-time reference produces.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reference.h"
#include "span_filter.h"

namespace {

void require(bool ok)
{
    if (!ok)
        std::abort();
}

// The first bytes choose the split sizes; the rest is the input.
std::string scan_in_pieces(span_kernel scan, const std::string& input, const std::uint8_t* splits,
                           std::size_t split_count, bool in_place)
{
    std::string out;
    bool inside = false;
    std::size_t pos = 0;
    for (std::size_t i = 0; pos < input.size(); ++i) {
        std::size_t len = split_count ? splits[i % split_count] * (splits[(i + 1) % split_count] % 4 + 1) : 1000;
        len = std::min(len + 1, input.size() - pos);
        // Exactly sized buffers, so a sanitizer sees any access past them.
        std::vector<unsigned char> in(input.begin() + static_cast<std::ptrdiff_t>(pos),
                                      input.begin() + static_cast<std::ptrdiff_t>(pos + len));
        std::vector<unsigned char> separate(len);
        unsigned char* dst = in_place ? in.data() : separate.data();
        std::size_t kept = scan(in.data(), len, dst, &inside);
        require(kept <= len);
        out.append(reinterpret_cast<const char*>(dst), kept);
        pos += len;
    }
    return out;
}

// Through a block of a size the input chooses, so that blocks end anywhere.
std::string through_streams(span_kernel scan, const std::string& input)
{
    std::vector<unsigned char> block(input.size() % 300 + 1);
    std::string copy = input;
    std::FILE* in = fmemopen(copy.data(), copy.size(), "rb");
    char* buf = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buf, &size);
    require(in && out);
    extract_spans_with(in, out, scan, block.data(), block.size());
    require(!std::ferror(in) && !std::ferror(out));
    std::fclose(in);
    require(std::fclose(out) == 0);
    std::string result(buf, size);
    std::free(buf);
    return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::size_t split_count = size ? data[0] % 8 : 0;
    if (split_count + 1 > size)
        split_count = 0;
    const std::uint8_t* splits = data + 1;
    std::size_t skip = size ? 1 + split_count : 0;
    const std::string input(reinterpret_cast<const char*>(data) + skip, size - skip);
    const std::string want = reference_spans(input);

    const span_kernel_variant* variants;
    std::size_t count = span_kernel_variants(&variants);
    for (std::size_t v = 0; v < count; ++v) {
        require(scan_in_pieces(variants[v].scan, input, splits, split_count, false) == want);
        require(scan_in_pieces(variants[v].scan, input, splits, split_count, true) == want);
        if (!input.empty())
            require(through_streams(variants[v].scan, input) == want);
    }
    return 0;
}
