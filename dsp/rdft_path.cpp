// Which path rdft and the spectrum kernels run: chosen once, from the processor.

#include "dsp/rdft.h"

#include "dsp/rdft_detail.h"
#include "dsp/rdft_testing.h"

#include <atomic>

namespace {

// 0: not chosen yet, 1: baseline, 2: AVX2. Written once by the first call that
// needs it (every thread that races there writes the same value) or by rdftUsePath.
std::atomic<int> chosenPath{0};

bool cpuHasAvx2()
{
#if QM_RDFT_AVX2
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

int currentPath()
{
    int p = chosenPath.load(std::memory_order_relaxed);
    if (p == 0) {
        p = cpuHasAvx2() ? 2 : 1;
        chosenPath.store(p, std::memory_order_relaxed);
    }
    return p;
}

}  // namespace

bool detail::avx2PathChosen()
{
    return currentPath() == 2;
}

RdftPath rdftPath()
{
    return currentPath() == 2 ? RdftPath::avx2 : RdftPath::baseline;
}

bool rdftAvx2Available()
{
    return cpuHasAvx2();
}

bool rdftUsePath(RdftPath p)
{
    if (p == RdftPath::avx2 && !cpuHasAvx2())
        return false;
    chosenPath.store(p == RdftPath::avx2 ? 2 : 1, std::memory_order_relaxed);
    return true;
}
