#pragma once
// A handler for SAudioIO tests: counts calls and keeps what it saw, without locks
// on the audio thread beyond what the test reads after close.

#include "framework/SAudioIO.h"

#include <atomic>
#include <functional>
#include <vector>

struct StreamProbe {
    std::atomic<int> calls{0};
    std::vector<short> seen;          // every sample handed to the handler, in order
    std::vector<const short*> arrays; // which array each call got
    std::vector<int> counts;          // count of each call
    std::function<void(SDATA<short>&, int)> change;  // what the handler leaves in the block

    explicit StreamProbe(size_t reserveSamples = 0)
    {
        seen.reserve(reserveSamples);
        arrays.reserve(4096);
        counts.reserve(4096);
    }

    void onData(SDATA<short>& d)
    {
        if (seen.size() + static_cast<size_t>(d.count) <= seen.capacity())
            seen.insert(seen.end(), d.data.get(), d.data.get() + d.count);
        if (arrays.size() < arrays.capacity()) {
            arrays.push_back(d.data.get());
            counts.push_back(d.count);
        }
        const int n = calls.load();
        if (change)
            change(d, n);
        calls.store(n + 1);
    }

    void bind(SAudioIO& s) { s.onData = boost::bind(&StreamProbe::onData, this, boost::placeholders::_1); }
};
