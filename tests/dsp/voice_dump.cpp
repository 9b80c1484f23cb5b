// Runs VoiceChanger over raw signed 16-bit mono samples from stdin with a fixed cycle
// of settings and writes, per block, the write position (int32) and the block's output
// (kBlockSize doubles), in the machine's byte order, to stdout. Builds for different
// processors are compared by what it writes (tests/dsp/compare_voice.py).
//   voice_dump [--baseline] <in.raw >out.bin
#include "dsp/VoiceChanger.h"
#include "dsp/rdft.h"
#include "dsp/rdft_testing.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Setting {
    double pitch, formant;
};

// Both directions of pitch, the folded analyses ({-1, 1}, {-2, 1}), silence ({0, 0}).
const Setting kSettings[] = {{0, 1},    {-1, 1},  {-2, 1},     {1, 1},   {2, 1},
                             {-0.5, 1.4}, {0.7, 0.6}, {-1.6, 0.9}, {0, 0}, {1.3, 2}};
constexpr double kGain = 0.4;

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--baseline") == 0) {
        rdftUsePath(RdftPath::baseline);
    } else if (argc != 1) {
        std::fprintf(stderr, "usage: voice_dump [--baseline] <in.raw >out.bin\n");
        return 2;
    }
    constexpr int n = VoiceChanger::kBlockSize;
    VoiceChanger vc;
    std::vector<int16_t> in(n);
    const int settings = static_cast<int>(sizeof kSettings / sizeof kSettings[0]);
    int block = 0;
    // A last partial block is padded with silence, as the stream would.
    for (;;) {
        const size_t got = std::fread(in.data(), sizeof(int16_t), n, stdin);
        if (got == 0)
            break;
        std::fill(in.begin() + got, in.end(), 0);
        std::copy(in.begin(), in.end(), vc.inputPtr);
        const Setting s = kSettings[block % settings];
        vc.process(s.pitch, s.formant, kGain);
        const int32_t pos = vc.writePos;
        if (std::fwrite(&pos, sizeof pos, 1, stdout) != 1 ||
            std::fwrite(vc.outputPtr, sizeof(double), n, stdout) != static_cast<size_t>(n))
            return 1;
        ++block;
    }
    std::fprintf(stderr, "voice_dump: %d blocks, %s path\n", block,
                 rdftPath() == RdftPath::avx2 ? "AVX2" : "baseline");
    return std::fflush(stdout) == 0 ? 0 : 1;
}
