#pragma once
// SDATA<T>: a counted, shared, zero-filled array (audio blocks, FFT tables, buffers).

#include <boost/shared_array.hpp>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

template <class T>
struct SDATA {
    boost::shared_array<T> data;  // array new / array delete, atomically counted
    int32_t count = 0;

    // count = n; a fresh zero-filled array when n != 0, none when n == 0.
    // Allocation failure (also a negative n, or n whose byte size overflows)
    // throws std::bad_alloc or std::bad_array_new_length and changes nothing, so
    // count never claims more elements than data holds.
    void alloc(int32_t n)
    {
        if (n == 0) {
            data.reset();
            count = 0;
            return;
        }
        if (n < 0 || static_cast<uint64_t>(n) > std::numeric_limits<std::size_t>::max() / sizeof(T))
            throw std::bad_array_new_length();
        T* p = new T[static_cast<std::size_t>(n)];
        std::memset(static_cast<void*>(p), 0, static_cast<std::size_t>(n) * sizeof(T));
        data.reset(p);
        count = n;
    }
};
