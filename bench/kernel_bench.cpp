// Kernel throughput per input shape and per variant, from memory to memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "shapes.h"
#include "span_kernel.h"

namespace {

void scan(benchmark::State& state, span_kernel kernel, std::string shape)
{
    std::string input;
    shapes::generate(shape, 1 << 20, [&](const char* p, std::size_t n) { input.append(p, n); });
    std::vector<unsigned char> in(input.begin(), input.end()), out(in.size());
    for (auto _ : state) {
        bool inside = false;
        benchmark::DoNotOptimize(kernel(in.data(), in.size(), out.data(), &inside));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(in.size()));
}

// As the filter scans: each 128 KiB block copied into one page-aligned block,
// as a read would, and scanned there in place; with no kernel, the copy alone.
void scan_in_place(benchmark::State& state, span_kernel kernel, std::string shape)
{
    const std::size_t block_size = 128 * 1024;
    std::string input;
    shapes::generate(shape, 1 << 20, [&](const char* p, std::size_t n) { input.append(p, n); });
    auto* block = static_cast<unsigned char*>(::operator new(block_size, std::align_val_t{4096}));
    for (auto _ : state) {
        bool inside = false;
        for (std::size_t at = 0; at < input.size(); at += block_size) {
            std::size_t n = std::min(block_size, input.size() - at);
            std::memcpy(block, input.data() + at, n);
            if (kernel)
                benchmark::DoNotOptimize(kernel(block, n, block, &inside));
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(input.size()));
    ::operator delete(block, std::align_val_t{4096});
}

int register_all()
{
    const span_kernel_variant* variants;
    std::size_t count = span_kernel_variants(&variants);
    for (const char* shape : shapes::names)
        for (std::size_t i = 0; i < count; ++i)
            benchmark::RegisterBenchmark((std::string(shape) + "/" + variants[i].name).c_str(), scan,
                                         variants[i].scan, std::string(shape));
    for (const char* shape : shapes::names) {
        benchmark::RegisterBenchmark((std::string(shape) + "/in-place/copy").c_str(), scan_in_place, nullptr,
                                     std::string(shape));
        for (std::size_t i = 0; i < count; ++i)
            benchmark::RegisterBenchmark((std::string(shape) + "/in-place/" + variants[i].name).c_str(),
                                         scan_in_place, variants[i].scan, std::string(shape));
    }
    return 0;
}

const int registered = register_all();

} // namespace

BENCHMARK_MAIN();
