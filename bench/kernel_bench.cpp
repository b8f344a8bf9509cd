// Kernel throughput per input shape and per variant, from memory to memory.
#include <benchmark/benchmark.h>

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

int register_all()
{
    const span_kernel_variant* variants;
    std::size_t count = span_kernel_variants(&variants);
    for (const char* shape : shapes::names)
        for (std::size_t i = 0; i < count; ++i)
            benchmark::RegisterBenchmark((std::string(shape) + "/" + variants[i].name).c_str(), scan,
                                         variants[i].scan, std::string(shape));
    return 0;
}

const int registered = register_all();

} // namespace

BENCHMARK_MAIN();
