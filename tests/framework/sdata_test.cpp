#include "framework/SDATA.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>

namespace {

TEST(SDATA, AllocZeroFillsAndReleases)
{
    SDATA<double> d;
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(d.data.get(), nullptr);

    d.alloc(1000);
    ASSERT_NE(d.data.get(), nullptr);
    EXPECT_EQ(d.count, 1000);
    for (int i = 0; i < 1000; ++i)
        EXPECT_EQ(d.data[i], 0.0);
    d.data[5] = 3;

    d.alloc(10);  // fresh, zeroed array
    EXPECT_EQ(d.count, 10);
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(d.data[i], 0.0);

    d.alloc(0);
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(d.data.get(), nullptr);
}

TEST(SDATA, SharedOwnership)
{
    SDATA<short> a;
    a.alloc(4);
    a.data[1] = 7;
    SDATA<short> b = a;  // shares the array
    EXPECT_EQ(b.data.get(), a.data.get());
    EXPECT_EQ(a.data.use_count(), 2);
    b.data[2] = 9;
    EXPECT_EQ(a.data[2], 9);

    a.alloc(4);  // a moves to a new array; b keeps the old one alive
    EXPECT_NE(a.data.get(), b.data.get());
    EXPECT_EQ(b.data.use_count(), 1);
    EXPECT_EQ(b.data[1], 7);
    EXPECT_EQ(a.data[1], 0);
}

struct Huge {
    char bytes[std::size_t(1) << 40];
};

TEST(SDATA, ImpossibleCountsThrowAndChangeNothing)
{
    SDATA<int> d;
    d.alloc(3);
    int* before = d.data.get();
    EXPECT_THROW(d.alloc(-1), std::bad_array_new_length);
    EXPECT_EQ(d.count, 3);
    EXPECT_EQ(d.data.get(), before);

    // 2^24 + 1 elements of 2^40 bytes: the byte count would wrap a 64-bit size.
    SDATA<Huge> h;
    EXPECT_THROW(h.alloc((1 << 24) + 1), std::bad_array_new_length);
    EXPECT_EQ(h.count, 0);
    EXPECT_EQ(h.data.get(), nullptr);
}

}  // namespace
