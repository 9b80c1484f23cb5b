// quillmorph-render: runs the voice changer over an audio file, offline.

#include "dsp/Samples.h"
#include "dsp/VoiceChanger.h"

#include <samplerate.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

namespace {

constexpr double kMaxSemitones = 12 * VoiceChanger::kMaxPitchExponent;  // two octaves either way
constexpr double kMaxGain = 100;
constexpr double kFullScale = 32768;  // float samples -> 16-bit units
constexpr const char* kProgram = "quillmorph-render";

// printf format: the sample rate, the default gain, the block size.
const char* const kUsage =
    "usage: quillmorph-render [options] INPUT OUTPUT.wav\n"
    "Runs the voice changer over INPUT (any format libsndfile reads; mixed to mono,\n"
    "resampled to %d Hz) and writes OUTPUT as 16-bit mono WAV at that rate.\n"
    "\n"
    "  -p, --pitch SEMITONES   pitch shift, -24..24 (+12 = an octave up); default 0\n"
    "  -f, --formant RATIO     formant scale, 0..2 (1 = unchanged); default 1\n"
    "  -g, --gain GAIN         output gain, 0..100; default %g (the live program's)\n"
    "      --keep-delay        keep the one-block (%d-sample) processing delay;\n"
    "                          by default the output is aligned with the input\n"
    "  -h, --help              show this help\n"
    "\n"
    "Output samples saturate at the 16-bit limits. The output file is written in\n"
    "full or not at all.\n";

struct Options {
    double semitones = 0;
    double formant = 1;
    double gain = kOutputGain;
    bool keepDelay = false;
    std::string input, output;
};

[[noreturn]] void fail(int code, const std::string& msg)
{
    std::fprintf(stderr, "%s: %s\n", kProgram, msg.c_str());
    std::exit(code);
}

double parseNumber(const std::string& opt, const char* text, double lo, double hi)
{
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno == ERANGE || !std::isfinite(v))
        fail(2, opt + " needs a number, got '" + text + "'");
    if (v < lo || v > hi) {
        char buf[160];
        std::snprintf(buf, sizeof buf, "%s %s is out of range (%g..%g)", opt.c_str(), text, lo, hi);
        fail(2, buf);
    }
    return v;
}

Options parseArgs(int argc, char** argv)
{
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const std::string& name) -> const char* {
            if (i + 1 >= argc)
                fail(2, name + " needs a value (try --help)");
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            std::printf(kUsage, kSampleRate, kOutputGain, VoiceChanger::kBlockSize);
            std::exit(0);
        } else if (a == "-p" || a == "--pitch") {
            o.semitones = parseNumber(a, value(a), -kMaxSemitones, kMaxSemitones);
        } else if (a == "-f" || a == "--formant") {
            o.formant = parseNumber(a, value(a), VoiceChanger::kMinFormantRatio, VoiceChanger::kMaxFormantRatio);
        } else if (a == "-g" || a == "--gain") {
            o.gain = parseNumber(a, value(a), 0, kMaxGain);
        } else if (a == "--keep-delay") {
            o.keepDelay = true;
        } else if (a.size() > 1 && a[0] == '-' && a != "--") {
            fail(2, "unknown option '" + a + "' (try --help)");
        } else {
            if (a == "--" && i + 1 < argc) {
                for (++i; i < argc; ++i)
                    positional.push_back(argv[i]);
                break;
            }
            positional.push_back(a);
        }
    }
    if (positional.size() != 2)
        fail(2, "expected INPUT and OUTPUT files (try --help)");
    o.input = positional[0];
    o.output = positional[1];
    return o;
}

// Mono samples in 16-bit units at kSampleRate.
std::vector<double> readInput(const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        fail(1, "cannot open '" + path + "': " + std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        fail(1, "cannot read '" + path + "': it is a folder");

    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        fail(1, "cannot read '" + path + "': " + sf_strerror(nullptr));
    if (info.frames <= 0 || info.channels <= 0) {
        sf_close(f);
        fail(1, "'" + path + "' holds no audio");
    }
    if (info.samplerate <= 0) {
        sf_close(f);
        fail(1, "'" + path + "' has no valid sample rate");
    }
    const sf_count_t frames = info.frames;
    const int channels = info.channels;
    std::vector<float> interleaved;
    try {
        interleaved.resize(static_cast<size_t>(frames) * channels);
    } catch (const std::exception&) {
        sf_close(f);
        fail(1, "'" + path + "' is too large to process in memory");
    }
    const sf_count_t got = sf_readf_float(f, interleaved.data(), frames);
    sf_close(f);
    if (got <= 0)
        fail(1, "cannot read audio from '" + path + "'");

    std::vector<float> mono(static_cast<size_t>(got));
    for (sf_count_t i = 0; i < got; ++i) {
        double sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += interleaved[static_cast<size_t>(i) * channels + c];
        const double v = sum / channels;
        mono[static_cast<size_t>(i)] = std::isfinite(v) ? static_cast<float>(v) : 0.0f;
    }
    interleaved = std::vector<float>();

    if (info.samplerate != kSampleRate) {
        const double ratio = static_cast<double>(kSampleRate) / info.samplerate;
        const double outFrames = std::ceil(mono.size() * ratio) + 16;
        if (outFrames > 1e10)
            fail(1, "'" + path + "' is too long to resample");
        std::vector<float> out(static_cast<size_t>(outFrames));
        SRC_DATA d{};
        d.data_in = mono.data();
        d.input_frames = static_cast<long>(mono.size());
        d.data_out = out.data();
        d.output_frames = static_cast<long>(out.size());
        d.src_ratio = ratio;
        const int err = src_simple(&d, SRC_SINC_MEDIUM_QUALITY, 1);
        if (err != 0)
            fail(1, std::string("cannot resample '") + path + "': " + src_strerror(err));
        out.resize(static_cast<size_t>(d.output_frames_gen));
        mono.swap(out);
    }
    std::vector<double> x(mono.size());
    for (size_t i = 0; i < mono.size(); ++i)
        x[i] = mono[i] * kFullScale;
    return x;
}

std::vector<short> render(const std::vector<double>& x, const Options& o)
{
    const int B = VoiceChanger::kBlockSize;
    const size_t len = x.size();
    const size_t skip = o.keepDelay ? 0 : B;  // output lags input by one block
    const size_t outLen = o.keepDelay ? len + B : len;
    const size_t blocks = (skip + outLen + B - 1) / B;
    const double pitchExponent = -o.semitones / 12.0;

    VoiceChanger vc;
    std::vector<short> out;
    out.reserve(outLen);
    size_t produced = 0;  // samples the changer has output so far
    for (size_t b = 0; b < blocks; ++b) {
        for (int i = 0; i < B; ++i) {
            const size_t k = b * B + i;
            vc.inputPtr[i] = k < len ? x[k] : 0.0;
        }
        vc.process(pitchExponent, o.formant, o.gain);
        for (int i = 0; i < B; ++i, ++produced) {
            if (produced < skip || out.size() >= outLen)
                continue;
            out.push_back(toSample(vc.outputPtr[i]));
        }
    }
    return out;
}

// Writes to a temporary file beside the output and renames it into place, so
// a failure never leaves a partial file under the output's name.
void writeOutput(const std::string& path, const std::vector<short>& samples)
{
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    if (base.empty())
        fail(1, "cannot write '" + path + "': not a file name");
    std::string tmp = dir + "/." + base + ".XXXXXX";
    std::vector<char> tmpl(tmp.begin(), tmp.end());
    tmpl.push_back('\0');
    const int fd = mkstemp(tmpl.data());
    if (fd < 0)
        fail(1, "cannot write '" + path + "': " + std::strerror(errno));
    tmp = tmpl.data();
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);

    SF_INFO info{};
    info.samplerate = kSampleRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open_fd(fd, SFM_WRITE, &info, SF_TRUE);
    if (!f) {
        const std::string err = sf_strerror(nullptr);
        close(fd);
        unlink(tmp.c_str());
        fail(1, "cannot write '" + path + "': " + err);
    }
    const sf_count_t n = static_cast<sf_count_t>(samples.size());
    const bool wrote = sf_write_short(f, samples.data(), n) == n;
    const std::string err = wrote ? "" : sf_strerror(f);
    const bool closed = sf_close(f) == 0;
    if (!wrote || !closed) {
        unlink(tmp.c_str());
        fail(1, "cannot write '" + path + "': " + (err.empty() ? "write failed" : err));
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        const std::string e = std::strerror(errno);
        unlink(tmp.c_str());
        fail(1, "cannot write '" + path + "': " + e);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const Options o = parseArgs(argc, argv);
    try {
        const std::vector<double> x = readInput(o.input);
        if (x.empty())
            fail(1, "'" + o.input + "' holds no audio");
        writeOutput(o.output, render(x, o));
    } catch (const std::bad_alloc&) {
        fail(1, "out of memory");
    } catch (const std::exception& e) {
        fail(1, e.what());
    }
    return 0;
}
