// Hundreds of open/start/stop/close cycles against handlers of random, sometimes long,
// duration, either way of reading the delay: no race (run under ThreadSanitizer), no leak,
// no hang, no late call.

#include "framework/SAudioIO.h"
#include "tests/platform/DiskAudio.h"

#include <gtest/gtest.h>

#include <random>

namespace {

struct StressHandler {
    std::atomic<bool> closed{true};
    std::atomic<int> inside{0};
    std::atomic<int> late{0};
    std::atomic<int> calls{0};
    std::atomic<int> wrongSize{0};
    std::atomic<int> expected{0};

    void onData(SDATA<short>& d)
    {
        inside.fetch_add(1);
        if (closed.load())
            late.fetch_add(1);
        if (d.count != expected.load())
            wrongSize.fetch_add(1);
        thread_local std::mt19937 rng(std::random_device{}());
        const unsigned r = rng() % 100;
        if (r >= 95)
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 40));
        else if (r >= 70)
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        for (int i = 0; i < d.count; ++i)
            d.data[i] = static_cast<short>(d.data[i] ^ 0x55);
        calls.fetch_add(1);
        inside.fetch_sub(1);
    }
};

}  // namespace

TEST(SAudioStreamStress, OpenStartStopCloseCyclesWithSlowHandlers)
{
    DiskAudio disk(true);
    setenv("SDL_DISKAUDIOFILEIN", "/dev/urandom", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    const int kCycles = 300;
    const int sizes[] = {64, 256, 1000};
    std::mt19937 rng(12345);
    StressHandler h;
    SAudioIO* s = new SAudioIO();
    s->onData = boost::bind(&StressHandler::onData, &h, boost::placeholders::_1);
    for (int c = 0; c < kCycles; ++c) {
        // Now and then a fresh stream object, as a program that makes a new one would.
        if (c % 50 == 49) {
            delete s;
            s = new SAudioIO();
            s->onData = boost::bind(&StressHandler::onData, &h, boost::placeholders::_1);
        }
        h.expected = sizes[rng() % 3];
        // Both ways of reading the delay: the one read off notification times hands the
        // playback side's figures to the capture side.
        s->reading = c % 2 ? SAudioIO::Reading::NotificationTimes : SAudioIO::Reading::Positions;
        s->open(h.expected);
        ASSERT_NE(s->inputDevice, nullptr);
        ASSERT_NE(s->outputDevice, nullptr);
        h.closed = false;
        const unsigned how = rng() % 10;
        if (how != 0) {
            const int before = h.calls.load();
            s->start();
            // Half the time, stop only once a handler is known to have run.
            if (how % 2)
                ASSERT_TRUE(waitUntil([&] { return h.calls.load() > before; })) << "cycle " << c;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(rng() % 15));
            if (how < 5)
                s->stop();
        }
        s->close();
        h.closed = true;
        ASSERT_EQ(h.inside.load(), 0) << "a handler still ran when close returned, cycle " << c;
        for (int i = 0; i < 4; ++i)
            ASSERT_EQ(s->blocks[i].samples.data.get(), nullptr);
    }
    delete s;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(h.late.load(), 0);
    EXPECT_EQ(h.wrongSize.load(), 0);
}
