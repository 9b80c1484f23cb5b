// VoiceChanger::process must not touch the heap: every global allocation and
// deallocation function is replaced here and counted.

#include "dsp/VoiceChanger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#ifdef _WIN32
#include <malloc.h>
#endif

namespace {
std::atomic<long> gAllocs{0};
std::atomic<long> gFrees{0};

void* countedAlloc(std::size_t n)
{
    ++gAllocs;
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}

void* countedAlignedAlloc(std::size_t n, std::align_val_t al)
{
    ++gAllocs;
    const std::size_t a = static_cast<std::size_t>(al);
#ifdef _WIN32
    // The Windows C runtime has no aligned_alloc; its aligned blocks go back through _aligned_free.
    if (void* p = _aligned_malloc(n ? n : 1, a))
#else
    if (void* p = std::aligned_alloc(a, (n + a - 1) / a * a))
#endif
        return p;
    throw std::bad_alloc();
}

void countedAlignedFree(void* p)
{
    if (p)
        ++gFrees;
#ifdef _WIN32
    _aligned_free(p);
#else
    std::free(p);
#endif
}

void countedFree(void* p)
{
    if (p)
        ++gFrees;
    std::free(p);
}
}  // namespace

void* operator new(std::size_t n) { return countedAlloc(n); }
void* operator new[](std::size_t n) { return countedAlloc(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept
{
    try {
        return countedAlloc(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void* operator new(std::size_t n, std::align_val_t a) { return countedAlignedAlloc(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return countedAlignedAlloc(n, a); }
void operator delete(void* p) noexcept { countedFree(p); }
void operator delete[](void* p) noexcept { countedFree(p); }
void operator delete(void* p, std::size_t) noexcept { countedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { countedFree(p); }
void operator delete(void* p, std::align_val_t) noexcept { countedAlignedFree(p); }
void operator delete[](void* p, std::align_val_t) noexcept { countedAlignedFree(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { countedAlignedFree(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { countedAlignedFree(p); }

namespace {

TEST(VoiceChangerHeap, ProcessAllocatesNothing)
{
    const long constructionBefore = gAllocs;
    VoiceChanger vc;
    // The counter works: construction allocates the arrays.
    ASSERT_GE(gAllocs - constructionBefore, 6);

    const long allocs = gAllocs, frees = gFrees;
    const double settings[][2] = {{0, 1}, {-2, 2}, {2, 0.5}, {-0.7, 0}, {1.3, 1.7}};
    for (int b = 0; b < 10; ++b) {
        for (int i = 0; i < VoiceChanger::kBlockSize; ++i)
            vc.inputPtr[i] = 9000 * std::sin(0.05 * (b * VoiceChanger::kBlockSize + i));
        vc.process(settings[b % 5][0], settings[b % 5][1], 0.4);  // first block builds the tables
    }
    EXPECT_EQ(gAllocs - allocs, 0);
    EXPECT_EQ(gFrees - frees, 0);
}

}  // namespace
