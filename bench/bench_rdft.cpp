// rdft forward + inverse, on each of its paths (baseline and AVX2 + FMA where the
// processor has it), beside FFTW's real transforms and a textbook radix-2 real FFT,
// all in the same run.

#include "BenchRatios.h"
#include "dsp/SFFT.h"
#include "dsp/rdft_testing.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <complex>
#include <random>
#include <vector>

#ifdef QM_HAVE_FFTW3
#include <fftw3.h>
#endif

namespace {

std::vector<double> noise(int n)
{
    std::mt19937 gen(42);
    std::uniform_real_distribution<double> d(-1, 1);
    std::vector<double> x(n);
    for (double& v : x)
        v = d(gen);
    return x;
}

void rdftPair(benchmark::State& state, RdftPath path)
{
    if (!rdftUsePath(path)) {
        state.SkipWithError("this path is not available on this processor");
        return;
    }
    const int n = static_cast<int>(state.range(0));
    SFFT f;
    f.init(n);
    std::vector<double> a = noise(n);
    const double scale = 2.0 / n;
    for (auto _ : state) {
        rdft(n, 1, a.data(), f.workArea.data.get(), f.table.data.get());
        rdft(n, -1, a.data(), f.workArea.data.get(), f.table.data.get());
        for (double& v : a)
            v *= scale;
        benchmark::DoNotOptimize(a.data());
    }
}

void BM_RdftBaseline(benchmark::State& state)
{
    rdftPair(state, RdftPath::baseline);
}
BENCHMARK(BM_RdftBaseline)->Arg(512)->Arg(4096)->QM_MIN_STAT;

void BM_RdftAvx2(benchmark::State& state)
{
    rdftPair(state, RdftPath::avx2);
}
BENCHMARK(BM_RdftAvx2)->Arg(512)->Arg(4096)->QM_MIN_STAT;

// Plain complex product (std::complex's operator* guards against infinities
// through a library call, which would make the comparison unfair).
inline std::complex<double> cmul(std::complex<double> a, std::complex<double> b)
{
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// Iterative radix-2 complex FFT of n/2 points plus the usual real split step,
// twiddles precomputed: the plain approach the split-radix structure is measured against.
struct TextbookRealFft {
    explicit TextbookRealFft(int n) : n(n), half(n / 2), tw(n / 2), z(n / 2)
    {
        for (int k = 0; k < half; ++k)
            tw[k] = std::polar(1.0, 2 * M_PI * k / n);
    }
    void complexFft(bool inverse)
    {
        for (int i = 1, j = 0; i < half; ++i) {
            int bit = half >> 1;
            for (; j & bit; bit >>= 1)
                j ^= bit;
            j ^= bit;
            if (i < j)
                std::swap(z[i], z[j]);
        }
        for (int len = 2; len <= half; len <<= 1) {
            const int step = n / len;
            for (int i = 0; i < half; i += len)
                for (int k = 0; k < len / 2; ++k) {
                    std::complex<double> w = tw[k * step];
                    if (inverse)
                        w = std::conj(w);
                    const std::complex<double> u = z[i + k], v = cmul(z[i + k + len / 2], w);
                    z[i + k] = u + v;
                    z[i + k + len / 2] = u - v;
                }
        }
    }
    void forward(double* a)
    {
        for (int p = 0; p < half; ++p)
            z[p] = {a[2 * p], a[2 * p + 1]};
        complexFft(false);
        a[0] = z[0].real() + z[0].imag();
        a[1] = z[0].real() - z[0].imag();
        for (int k = 1; k < half; ++k) {
            const std::complex<double> e = 0.5 * (z[k] + std::conj(z[half - k]));
            const std::complex<double> o = cmul(std::complex<double>(0, -0.5), z[k] - std::conj(z[half - k]));
            const std::complex<double> x = e + cmul(tw[k], o);
            a[2 * k] = x.real();
            a[2 * k + 1] = x.imag();
        }
    }
    void inverse(double* a)
    {
        z[0] = {0.5 * (a[0] + a[1]), 0.5 * (a[0] - a[1])};
        for (int k = 1; k < half; ++k) {
            const std::complex<double> xk(a[2 * k], a[2 * k + 1]);
            const std::complex<double> xm(a[2 * (half - k)], -a[2 * (half - k) + 1]);
            const std::complex<double> e = 0.5 * (xk + xm);
            const std::complex<double> o = cmul(0.5 * (xk - xm), std::conj(tw[k]));
            z[k] = e + std::complex<double>(-o.imag(), o.real());
        }
        complexFft(true);
        for (int p = 0; p < half; ++p) {
            a[2 * p] = z[p].real();
            a[2 * p + 1] = z[p].imag();
        }
    }
    int n, half;
    std::vector<std::complex<double>> tw, z;
};

void BM_TextbookRadix2(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    TextbookRealFft t(n);
    std::vector<double> a = noise(n);
    const double scale = 2.0 / n;
    for (auto _ : state) {
        t.forward(a.data());
        t.inverse(a.data());
        for (double& v : a)
            v *= scale;
        benchmark::DoNotOptimize(a.data());
    }
}
BENCHMARK(BM_TextbookRadix2)->Arg(512)->Arg(4096)->QM_MIN_STAT;

#ifdef QM_HAVE_FFTW3
void BM_Fftw(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    double* in = fftw_alloc_real(n);
    fftw_complex* out = fftw_alloc_complex(n / 2 + 1);
    fftw_plan fwd = fftw_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE);
    fftw_plan inv = fftw_plan_dft_c2r_1d(n, out, in, FFTW_MEASURE);
    const std::vector<double> x = noise(n);
    std::copy(x.begin(), x.end(), in);
    const double scale = 1.0 / n;
    for (auto _ : state) {
        fftw_execute(fwd);
        fftw_execute(inv);
        for (int i = 0; i < n; ++i)
            in[i] *= scale;
        benchmark::DoNotOptimize(in);
    }
    fftw_destroy_plan(fwd);
    fftw_destroy_plan(inv);
    fftw_free(in);
    fftw_free(out);
}
BENCHMARK(BM_Fftw)->Arg(512)->Arg(4096)->QM_MIN_STAT;
#endif

}  // namespace

// The comparison means nothing unless the textbook transform is right.
bool textbookAgrees()
{
    const int n = 512;
    std::vector<double> a = noise(n), b = a;
    SFFT f;
    f.init(n);
    rdft(n, 1, a.data(), f.workArea.data.get(), f.table.data.get());
    TextbookRealFft t(n);
    t.forward(b.data());
    for (int i = 0; i < n; ++i)
        if (std::fabs(a[i] - b[i]) > 1e-9)
            return false;
    t.inverse(b.data());
    const std::vector<double> x = noise(n);
    for (int i = 0; i < n; ++i)
        if (std::fabs(b[i] * 2 / n - x[i]) > 1e-9)
            return false;
    return true;
}

int main(int argc, char** argv)
{
    const RdftPath chosen = rdftPath();
    if (!textbookAgrees()) {
        std::fprintf(stderr, "bench_rdft: the textbook reference disagrees with rdft\n");
        return 1;
    }
    std::printf("rdft: the program runs the %s path on this processor\n",
                chosen == RdftPath::avx2 ? "AVX2 + FMA" : "baseline");
    return runWithRatios(argc, argv,
                         {{"BM_RdftBaseline/512", "BM_Fftw/512"},
                          {"BM_RdftBaseline/4096", "BM_Fftw/4096"},
                          {"BM_RdftAvx2/512", "BM_Fftw/512"},
                          {"BM_RdftAvx2/4096", "BM_Fftw/4096"},
                          {"BM_RdftAvx2/512", "BM_RdftBaseline/512"},
                          {"BM_RdftAvx2/4096", "BM_RdftBaseline/4096"},
                          {"BM_TextbookRadix2/512", "BM_Fftw/512"},
                          {"BM_TextbookRadix2/4096", "BM_Fftw/4096"},
                          {"BM_TextbookRadix2/512", "BM_RdftBaseline/512"},
                          {"BM_TextbookRadix2/4096", "BM_RdftBaseline/4096"}});
}
