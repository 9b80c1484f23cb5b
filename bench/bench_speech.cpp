// VoiceChanger::process over real recorded speech at -24, -12, 0, +12 and +24
// semitones, beside SoundTouch (where libsoundtouch-dev is installed) on the same
// blocks in the same run, with the ratios printed at the end.
//
// Speech: the voice prompts that Debian's alsa-utils ships (a woman's voice,
// /usr/share/sounds/alsa/*.wav, all but Noise.wav), or the 16-bit PCM WAV files
// named with --speech=FILE[,FILE...] (this option is read before the benchmark
// library's). The files are joined and cut into blocks of 2,048 samples, used at
// their own rate: the processor only sees samples. Each timed iteration takes the
// next block from 16-bit samples to the processor's sample type, processes it and
// reads the output, for both programs. Formants stay as they are (ratio 1).
//
// SoundTouch is set up as for a live pitch shift: 44,100 samples per second, one
// channel, setPitchSemiTones, everything else at its defaults; every block's
// output that is ready is taken at once.

#include "BenchRatios.h"
#include "dsp/Samples.h"
#include "dsp/VoiceChanger.h"
#include "dsp/rdft_testing.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#ifdef QM_HAVE_SOUNDTOUCH
#include <soundtouch/SoundTouch.h>
#endif

namespace {

constexpr int kBlock = VoiceChanger::kBlockSize;
constexpr int kSettleBlocks = 8;  // not timed: history, tables, SoundTouch's pipeline

std::vector<std::string> speechFiles;
RdftPath shippedPath = RdftPath::baseline;  // what rdft chose by itself, before any benchmark forced one
std::vector<int16_t> speech;  // whole blocks only
int blockCount = 0;

uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24);
}

uint16_t le16(const unsigned char* p)
{
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// 16-bit PCM WAV, any channel count (mixed to one). False if unreadable.
bool readWav(const std::string& path, std::vector<int16_t>& out, int& rate)
{
    std::ifstream f(path, std::ios::binary);
    if (!f)
        return false;
    std::vector<unsigned char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 || std::memcmp(b.data() + 8, "WAVE", 4) != 0)
        return false;
    int channels = 0, bits = 0, format = 0;
    size_t pos = 12;
    while (pos + 8 <= b.size()) {
        const uint32_t size = le32(b.data() + pos + 4);
        const unsigned char* body = b.data() + pos + 8;
        if (pos + 8 + size > b.size())
            return false;
        if (std::memcmp(b.data() + pos, "fmt ", 4) == 0 && size >= 16) {
            format = le16(body);
            channels = le16(body + 2);
            rate = static_cast<int>(le32(body + 4));
            bits = le16(body + 14);
        } else if (std::memcmp(b.data() + pos, "data", 4) == 0) {
            if (format != 1 || bits != 16 || channels < 1)
                return false;
            const size_t frames = size / (2 * channels);
            for (size_t i = 0; i < frames; ++i) {
                int sum = 0;
                for (int c = 0; c < channels; ++c)
                    sum += static_cast<int16_t>(le16(body + 2 * (i * channels + c)));
                out.push_back(static_cast<int16_t>(sum / channels));
            }
            return true;
        }
        pos += 8 + size + (size & 1);
    }
    return false;
}

// 0: loaded; 1: files named but unreadable; 2: the default files are not installed.
int loadSpeech()
{
    const bool defaults = speechFiles.empty();
    if (defaults) {
        for (const char* name : {"Front_Center", "Front_Left", "Front_Right", "Rear_Center", "Rear_Left",
                                 "Rear_Right", "Side_Left", "Side_Right"})
            speechFiles.push_back(std::string("/usr/share/sounds/alsa/") + name + ".wav");
    }
    int rate = 0;
    for (const std::string& p : speechFiles) {
        if (!readWav(p, speech, rate)) {
            std::fprintf(stderr, "bench_speech: cannot read %s as 16-bit PCM WAV%s\n", p.c_str(),
                         defaults ? " (install alsa-utils, or name files with --speech=)" : "");
            return defaults ? 2 : 1;
        }
    }
    blockCount = static_cast<int>(speech.size() / kBlock);
    speech.resize(static_cast<size_t>(blockCount) * kBlock);
    if (blockCount < kSettleBlocks + 1) {
        std::fprintf(stderr, "bench_speech: too little speech (%d blocks)\n", blockCount);
        return 1;
    }
    std::printf("speech: %zu file(s), %d blocks of %d samples (%.1f s at %d per second)\n", speechFiles.size(),
                blockCount, kBlock, double(speech.size()) / rate, rate);
    return 0;
}

double pitchExponentOf(int semitones)
{
    return -semitones / 12.0;  // output period = input period * 2^pitchExponent
}

// Settles the peer on the first blocks untimed, then times one block per iteration.
template <class Step>
void timeBlocks(benchmark::State& state, Step& step, double& sink)
{
    for (int i = 0; i < kSettleBlocks; ++i)
        step();
    for (auto _ : state)
        step();
    benchmark::DoNotOptimize(sink);
    state.SetItemsProcessed(state.iterations());
}

void processOn(benchmark::State& state, RdftPath path)
{
    if (!rdftUsePath(path)) {
        state.SkipWithError("this rdft path is not available on this processor");
        return;
    }
    const double pe = pitchExponentOf(static_cast<int>(state.range(0)));
    VoiceChanger vc;
    int block = 0;
    double sink = 0;
    auto step = [&] {
        const int16_t* src = speech.data() + static_cast<size_t>(block) * kBlock;
        for (int i = 0; i < kBlock; ++i)
            vc.inputPtr[i] = src[i];
        vc.process(pe, 1.0, kOutputGain);
        sink += vc.outputPtr[kBlock - 1];
        block = (block + 1) % blockCount;
    };
    timeBlocks(state, step, sink);
}

void BM_Quillmorph(benchmark::State& state)
{
    processOn(state, shippedPath);
}

void BM_QuillmorphBaseline(benchmark::State& state)
{
    processOn(state, RdftPath::baseline);
}

#ifdef QM_HAVE_SOUNDTOUCH
void BM_SoundTouch(benchmark::State& state)
{
    soundtouch::SoundTouch st;
    st.setSampleRate(kSampleRate);
    st.setChannels(1);
    st.setPitchSemiTones(static_cast<int>(state.range(0)));
    std::vector<soundtouch::SAMPLETYPE> in(kBlock), out(8 * kBlock);
    int block = 0;
    double sink = 0;
    auto step = [&] {
        const int16_t* src = speech.data() + static_cast<size_t>(block) * kBlock;
        for (int i = 0; i < kBlock; ++i)
            in[i] = static_cast<soundtouch::SAMPLETYPE>(src[i]);
        st.putSamples(in.data(), kBlock);
        const unsigned got = st.receiveSamples(out.data(), static_cast<unsigned>(out.size()));
        if (got)
            sink += out[got - 1];
        block = (block + 1) % blockCount;
    };
    timeBlocks(state, step, sink);
}
#endif

void shifts(benchmark::internal::Benchmark* b)
{
    for (int s : {-24, -12, 0, 12, 24})
        b->Arg(s);
    b->Unit(benchmark::kMicrosecond)->QM_MIN_STAT;
}

}  // namespace

int main(int argc, char** argv)
{
    // --speech=FILE[,FILE...] before the benchmark library sees the arguments.
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("--speech=", 0) == 0) {
            std::string list = a.substr(9);
            size_t start = 0;
            while (start <= list.size()) {
                const size_t comma = list.find(',', start);
                const std::string one = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                if (!one.empty())
                    speechFiles.push_back(one);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
    // Without the default speech there is nothing to time: a note, not a failure
    // (the other benchmarks and the suite do not depend on it).
    const int loaded = loadSpeech();
    if (loaded != 0)
        return loaded == 2 ? 0 : 1;
    shippedPath = rdftPath();
    std::printf("rdft path chosen for this processor (BM_Quillmorph): %s\n",
                shippedPath == RdftPath::avx2 ? "AVX2 + FMA" : "baseline");

    benchmark::RegisterBenchmark("BM_Quillmorph", BM_Quillmorph)->Apply(shifts);
    benchmark::RegisterBenchmark("BM_QuillmorphBaseline", BM_QuillmorphBaseline)->Apply(shifts);
    std::vector<std::pair<std::string, std::string>> pairs;
#ifdef QM_HAVE_SOUNDTOUCH
    benchmark::RegisterBenchmark("BM_SoundTouch", BM_SoundTouch)->Apply(shifts);
    for (int s : {-24, -12, 0, 12, 24}) {
        const std::string arg = "/" + std::to_string(s);
        pairs.push_back({"BM_Quillmorph" + arg, "BM_SoundTouch" + arg});
    }
    for (int s : {-24, -12, 0, 12, 24}) {
        const std::string arg = "/" + std::to_string(s);
        pairs.push_back({"BM_QuillmorphBaseline" + arg, "BM_SoundTouch" + arg});
    }
#else
    std::printf("SoundTouch: not built in (install libsoundtouch-dev and reconfigure)\n");
#endif
    for (int s : {-24, -12, 0, 12, 24}) {
        const std::string arg = "/" + std::to_string(s);
        pairs.push_back({"BM_Quillmorph" + arg, "BM_QuillmorphBaseline" + arg});
    }
    return runWithRatios(argc, argv, pairs);
}
