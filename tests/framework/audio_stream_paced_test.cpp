// SAudioIO over SDL's disk driver in real time: what comes out is what went in,
// two blocks late, sample for sample; a slow handler underruns without glitches.

#include "framework/SAudioIO.h"
#include "tests/framework/AudioStreamProbe.h"
#include "tests/platform/DiskAudio.h"

#include <gtest/gtest.h>

namespace {

size_t leadingZeros(const std::vector<short>& s)
{
    size_t i = 0;
    while (i < s.size() && s[i] == 0)
        ++i;
    return i;
}

// Runs a stream over `input` until the output file holds it all and some blocks more.
std::vector<short> runThrough(DiskAudio& disk, SAudioIO& s, int blockSize, const std::vector<short>& input)
{
    disk.writeInput(input);
    s.open(blockSize);
    EXPECT_NE(s.inputDevice, nullptr);
    EXPECT_NE(s.outputDevice, nullptr);
    s.start();
    const long want = static_cast<long>(2 * (input.size() + 4 * blockSize));
    EXPECT_TRUE(waitUntil([&] { return disk.outputBytes() >= want; }, std::chrono::seconds(60)));
    s.close();
    return disk.readOutput();
}

void expectSilenceThen(const std::vector<short>& out, const std::vector<short>& expected, int blockSize)
{
    const size_t lead = leadingZeros(out);
    // Playback begins with the first captured block, after the silence that makes the delay
    // two blocks: the two devices' periods fall a few frames apart, never an eighth of a block.
    EXPECT_GE(lead + blockSize / 8, 2u * blockSize) << "about two blocks of silence come first";
    ASSERT_GE(out.size(), lead + expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(out[lead + i], expected[i]) << "input sample " << i << " (block " << i / blockSize << ")";
    for (size_t i = lead + expected.size(); i < out.size(); ++i)
        ASSERT_EQ(out[i], 0) << "something after the input at output sample " << i;
}

}  // namespace

TEST(SAudioStreamPaced, UnboundStreamPlaysTheInputSampleForSampleAfterTwoSilentBlocks)
{
    DiskAudio disk(true);
    const int kBlock = 8192;  // big blocks ride out a busy machine's scheduling stalls
    const std::vector<short> input = nonZeroSignal(44100 * 3 / 2, 7);
    SAudioIO s;
    std::vector<short> out = runThrough(disk, s, kBlock, input);
    expectSilenceThen(out, input, kBlock);
}

TEST(SAudioStreamPaced, HandlerSeesEveryBlockOnceInOrderAndWhatItLeavesIsPlayed)
{
    DiskAudio disk(true);
    const int kBlock = 8192;  // big blocks ride out a busy machine's scheduling stalls
    const std::vector<short> input = nonZeroSignal(44100 * 3 / 2, 8);
    SAudioIO s;
    StreamProbe p(input.size() + 64 * kBlock);
    p.change = [](SDATA<short>& d, int) {
        for (int i = 0; i < d.count; ++i)
            d.data[i] = static_cast<short>(-d.data[i]);
    };
    p.bind(s);
    std::vector<short> out = runThrough(disk, s, kBlock, input);

    // The handler saw the input as one unbroken run of whole blocks (then the silence after it).
    ASSERT_GE(p.seen.size(), input.size());
    EXPECT_TRUE(std::equal(input.begin(), input.end(), p.seen.begin()));
    for (size_t i = input.size(); i < p.seen.size(); ++i)
        ASSERT_EQ(p.seen[i], 0) << "captured twice at " << i;
    for (size_t c = 0; c < p.counts.size(); ++c) {
        ASSERT_EQ(p.counts[c], kBlock);
        // Blocks reach capture in the order 0, 1, 2, 3, 0, ...
        ASSERT_EQ(p.arrays[c], p.arrays[c % 4]) << "call " << c;
    }
    EXPECT_NE(p.arrays[0], p.arrays[1]);

    std::vector<short> negated(input.size());
    for (size_t i = 0; i < input.size(); ++i)
        negated[i] = static_cast<short>(-input[i]);
    expectSilenceThen(out, negated, kBlock);
}

// A handler slower than the blocks: playback starves, and the stream leaves out some of what
// would be heard too late (whole blocks, or the start of one) to keep its delay, but it never
// repeats or reorders a block, and most of them are heard.
TEST(SAudioStreamPaced, SlowHandlerUnderrunsInOrderWithoutRepeatingABlock)
{
    DiskAudio disk(true);
    const int kBlock = 1024;  // 23 ms; the handler takes 35
    SAudioIO s;
    StreamProbe p(0);
    p.change = [](SDATA<short>& d, int n) {
        std::this_thread::sleep_for(std::chrono::milliseconds(35));
        for (int i = 0; i < d.count; ++i)
            d.data[i] = static_cast<short>(n + 1);
    };
    p.bind(s);
    disk.writeInput(nonZeroSignal(44100 * 10, 9));
    s.open(kBlock);
    s.start();
    ASSERT_TRUE(waitUntil([&] { return p.calls.load() >= 24; }, std::chrono::seconds(60)));
    const uint32_t restorations = s.restorations();
    s.close();
    const int calls = p.calls.load();

    // Output: silence and runs of one block number each, rising, none longer than a block.
    std::vector<short> out = disk.readOutput();
    int last = 0;
    int heard = 0;
    int shortened = 0;
    int gaps = 0;
    size_t i = 0;
    while (i < out.size()) {
        if (out[i] == 0) {
            size_t j = i;
            while (j < out.size() && out[j] == 0)
                ++j;
            gaps += last > 0 && j < out.size();
            i = j;
            continue;
        }
        ASSERT_GT(out[i], last) << "block repeated or out of order at sample " << i;
        size_t run = 0;
        while (i + run < out.size() && out[i + run] == out[i])
            ++run;
        ASSERT_LE(run, static_cast<size_t>(kBlock)) << "block " << out[i] << " played twice";
        shortened += run < static_cast<size_t>(kBlock);
        heard += 1;
        last = out[i];
        i += run;
    }
    EXPECT_GT(gaps, 0) << "the slow handler should have starved playback";
    EXPECT_GE(heard, calls / 2) << "the stream left out most of what the handler made";
    // Only its corrections leave anything out (the last block may be cut by the stop).
    if (heard < last || shortened > 1) {
        EXPECT_GT(restorations, 0u);
    }
    EXPECT_LE(last, calls);
    for (int n : p.counts)
        ASSERT_EQ(n, kBlock);
}
