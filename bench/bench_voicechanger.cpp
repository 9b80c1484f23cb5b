// VoiceChanger::process per block: the worst case (period 60 two octaves up, about
// 137 synthesised periods) and a typical voiced block, beside one 4096-point and
// one 512-point transform pair measured in the same run.

#include "BenchRatios.h"
#include "dsp/SFFT.h"
#include "dsp/Samples.h"
#include "dsp/VoiceChanger.h"
#include "dsp/rdft.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

namespace {

constexpr int kBlock = VoiceChanger::kBlockSize;

// Harmonic-rich periodic signal with an exact period, 16-bit sample units.
std::vector<double> voiced(int period, int length)
{
    std::vector<double> x(length);
    for (int i = 0; i < length; ++i) {
        const double ph = 2 * M_PI * (i % period) / period;
        double v = 0;
        for (int h = 1; h <= 12; ++h)
            v += std::sin(h * ph + 0.3 * h * h) / h;
        x[i] = 6000 * v;
    }
    return x;
}

void runBlocks(benchmark::State& state, int period, double pitchExponent, double formantRatio)
{
    VoiceChanger vc;
    const std::vector<double> sig = voiced(period, kBlock * 8);
    int block = 0;
    auto feed = [&] {
        const double* src = sig.data() + (block % 8) * kBlock;
        std::copy(src, src + kBlock, vc.inputPtr);
        ++block;
    };
    for (int i = 0; i < 4; ++i) {  // settle the history and build the tables
        feed();
        vc.process(pitchExponent, formantRatio, kOutputGain);
    }
    for (auto _ : state) {
        state.PauseTiming();
        feed();
        state.ResumeTiming();
        vc.process(pitchExponent, formantRatio, kOutputGain);
        benchmark::DoNotOptimize(vc.outputPtr[0]);
    }
}

void BM_ProcessWorstCase(benchmark::State& state)
{
    runBlocks(state, 60, -2.0, 1.0);
}
BENCHMARK(BM_ProcessWorstCase)->Unit(benchmark::kMicrosecond)->QM_MIN_STAT;

void BM_ProcessTypical(benchmark::State& state)
{
    runBlocks(state, 200, 0.25, 1.2);
}
BENCHMARK(BM_ProcessTypical)->Unit(benchmark::kMicrosecond)->QM_MIN_STAT;

void BM_RdftPair(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    SFFT f;
    f.init(n);
    std::vector<double> a = voiced(100, n);
    for (auto _ : state) {
        rdft(n, 1, a.data(), f.workArea.data.get(), f.table.data.get());
        rdft(n, -1, a.data(), f.workArea.data.get(), f.table.data.get());
        for (double& v : a)
            v *= 2.0 / n;
        benchmark::DoNotOptimize(a.data());
    }
}
BENCHMARK(BM_RdftPair)->Arg(512)->Arg(4096)->Unit(benchmark::kMicrosecond)->QM_MIN_STAT;

}  // namespace

int main(int argc, char** argv)
{
    return runWithRatios(argc, argv,
                         {{"BM_ProcessWorstCase", "BM_RdftPair/512"},
                          {"BM_ProcessTypical", "BM_RdftPair/4096"}});
}
