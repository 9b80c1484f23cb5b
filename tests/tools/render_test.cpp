// The offline renderer end to end: pitch shifts measured on its output by an
// autocorrelation pitch tracker, and its handling of bad input.

#include "dsp/Samples.h"
#include "dsp/VoiceChanger.h"
#include "tests/dsp/DspReference.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kRate = kSampleRate;

struct TempDir {
    TempDir()
    {
        char tmpl[] = "/tmp/qm-render-XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    std::vector<std::string> entries() const
    {
        std::vector<std::string> out;
        if (DIR* d = opendir(path.c_str())) {
            while (dirent* e = readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
                    out.push_back(e->d_name);
            closedir(d);
        }
        return out;
    }
    std::string path;
};

struct Result {
    int code;
    std::string err;
};

Result runRenderer(const std::string& args, const TempDir& dir)
{
    const std::string errFile = dir.path + "/../" + "qm-render-stderr-" + std::to_string(getpid());
    const std::string cmd = std::string("'") + QM_RENDER_PATH + "' " + args + " >/dev/null 2>'" + errFile + "'";
    const int status = std::system(cmd.c_str());
    std::ifstream in(errFile);
    std::stringstream ss;
    ss << in.rdbuf();
    std::remove(errFile.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ss.str()};
}

// Glottal pulses at f0 through three formant resonators: a steady vowel.
std::vector<float> vowel(double f0, double seconds, int rate)
{
    const int n = static_cast<int>(seconds * rate);
    std::vector<double> src(n, 0.0);
    double phase = 0;
    for (int i = 0; i < n; ++i) {
        phase += f0 / rate;
        if (phase >= 1)
            phase -= 1;
        src[i] = phase < 0.4 ? std::sin(kPi * phase / 0.4) : 0.0;  // open phase of the glottis
        src[i] -= 0.4 * 2 / kPi;                                   // remove the mean
    }
    const std::vector<double> y = ref::formants(src, {730.0, 1090.0, 2440.0}, 0.96, rate, 1.0);
    double peak = 0;
    for (double v : y)
        peak = std::max(peak, std::fabs(v));
    std::vector<float> out(n);
    for (int i = 0; i < n; ++i)
        out[i] = static_cast<float>(0.5 * y[i] / peak);
    return out;
}

void writeWav(const std::string& path, const std::vector<float>& x, int rate, int channels = 1)
{
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr);
    std::vector<float> inter(x.size() * channels);
    for (size_t i = 0; i < x.size(); ++i)
        for (int c = 0; c < channels; ++c)
            inter[i * channels + c] = x[i];
    sf_writef_float(f, inter.data(), static_cast<sf_count_t>(x.size()));
    sf_close(f);
}

std::vector<double> readWav(const std::string& path, SF_INFO& info)
{
    info = SF_INFO{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        return {};
    std::vector<double> x(static_cast<size_t>(info.frames * info.channels));
    sf_readf_double(f, x.data(), info.frames);
    sf_close(f);
    return x;
}

// Fundamental by time-domain autocorrelation over the middle of the signal: the
// shortest lag whose normalised correlation comes within 10% of the best one.
double trackPitch(const std::vector<double>& x, int rate)
{
    const int win = 8192, minLag = 20, maxLag = 1500;
    const size_t start = x.size() / 2 - win / 2;
    auto corr = [&](int lag) {
        double s = 0, e0 = 0, e1 = 0;
        for (int i = 0; i < win; ++i) {
            const double a = x[start + i], b = x[start + i + lag];
            s += a * b;
            e0 += a * a;
            e1 += b * b;
        }
        return s / std::sqrt(e0 * e1 + 1e-30);
    };
    std::vector<double> r(maxLag + 1, 0.0);
    double best = 0;
    for (int lag = minLag; lag <= maxLag; ++lag) {
        r[lag] = corr(lag);
        best = std::max(best, r[lag]);
    }
    for (int lag = minLag + 1; lag < maxLag; ++lag)
        if (r[lag] >= 0.9 * best && r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1])
            return static_cast<double>(rate) / lag;
    return 0;
}

TEST(Render, ShiftsPitchByAnOctaveEitherWay)
{
    TempDir dir;
    const double f0 = 140;
    writeWav(dir / "in.wav", vowel(f0, 2.0, kRate), kRate);
    SF_INFO info;
    const double measuredIn = trackPitch(readWav(dir / "in.wav", info), kRate);
    ASSERT_NEAR(measuredIn, f0, 0.02 * f0);

    for (int semis : {12, -12}) {
        const std::string out = dir / ("out" + std::to_string(semis) + ".wav");
        const Result r = runRenderer("--pitch " + std::to_string(semis) + " '" + dir / "in.wav" + "' '" + out + "'", dir);
        ASSERT_EQ(r.code, 0) << r.err;
        const std::vector<double> y = readWav(out, info);
        EXPECT_EQ(info.samplerate, kRate);
        EXPECT_EQ(info.channels, 1);
        EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
        EXPECT_EQ(info.frames, static_cast<sf_count_t>(2.0 * kRate));  // aligned: same length
        const double expected = measuredIn * std::pow(2.0, semis / 12.0);
        EXPECT_NEAR(trackPitch(y, kRate), expected, 0.03 * expected) << semis << " semitones";
    }
}

// A second tracker from another project: per-frame fundamentals (Hz, 0 where
// unvoiced) of `path`, analysed at `rate`.
std::vector<double> aubioPitch(const std::string& path, int rate)
{
    const std::string cmd =
        "aubiopitch -r " + std::to_string(rate) + " -p yin -l 0.15 -u Hz -s -40 -i '" + path + "' 2>/dev/null";
    std::vector<double> f0;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        double t, f;
        while (std::fscanf(p, "%lf %lf", &t, &f) == 2)
            f0.push_back(f);
        pclose(p);
    }
    return f0;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

TEST(Render, ShiftsARecordedVoiceByAnOctaveEitherWay)
{
    // Short spoken phrases recorded at 48 kHz, shipped with the ALSA utilities.
    const std::string sounds = "/usr/share/sounds/alsa/";
    const char* names[] = {"Front_Left", "Front_Center", "Front_Right", "Rear_Left",
                           "Rear_Center", "Rear_Right", "Side_Left", "Side_Right"};
    if (std::system("command -v aubiopitch >/dev/null 2>&1") != 0 || access((sounds + "Front_Left.wav").c_str(), R_OK))
        GTEST_SKIP() << "aubiopitch or the recordings in " << sounds << " are missing (script/bootstrap installs them)";

    TempDir dir;
    std::vector<float> voice;
    for (const char* name : names) {
        SF_INFO info;
        const std::vector<double> x = readWav(sounds + name + ".wav", info);
        ASSERT_EQ(info.samplerate, 48000) << name;
        ASSERT_EQ(info.channels, 1) << name;
        voice.insert(voice.end(), x.begin(), x.end());
    }
    writeWav(dir / "voice.wav", voice, 48000);
    // The tracker resamples the input to the output's rate, so frames line up.
    const std::vector<double> in = aubioPitch(dir / "voice.wav", kRate);

    for (int semis : {12, -12}) {
        const std::string out = dir / ("out" + std::to_string(semis) + ".wav");
        const Result r = runRenderer("--pitch " + std::to_string(semis) + " '" + dir / "voice.wav" + "' '" + out + "'", dir);
        ASSERT_EQ(r.code, 0) << r.err;
        const std::vector<double> y = aubioPitch(out, kRate);
        ASSERT_EQ(y.size(), in.size());
        // Frame by frame, where both are voiced: the output over the input.
        std::vector<double> ratio;
        for (size_t i = 0; i < in.size(); ++i)
            if (in[i] > 50 && y[i] > 25)
                ratio.push_back(y[i] / in[i]);
        ASSERT_GT(ratio.size(), 300u) << semis << " semitones: too few voiced frames";
        const double expected = std::pow(2.0, semis / 12.0);
        const double m = median(ratio);
        std::printf("%+d semitones: median frame ratio %.4f over %zu frames\n", semis, m, ratio.size());
        EXPECT_NEAR(m, expected, 0.02 * expected) << semis << " semitones";
    }
}

TEST(Render, ResamplesMixesAndKeepsDelayOnRequest)
{
    TempDir dir;
    writeWav(dir / "in48k.wav", vowel(200, 1.0, 48000), 48000, 2);
    const Result r = runRenderer("--keep-delay -g 1 '" + dir / "in48k.wav" + "' '" + dir / "out.wav" + "'", dir);
    ASSERT_EQ(r.code, 0) << r.err;
    SF_INFO info;
    const std::vector<double> y = readWav(dir / "out.wav", info);
    EXPECT_EQ(info.samplerate, kRate);
    EXPECT_NEAR(static_cast<double>(info.frames), kRate + VoiceChanger::kBlockSize, 4);
    EXPECT_NEAR(trackPitch(y, kRate), 200, 6);
    // The changer starts from a silent history: its first periods come out silent.
    for (int i = 0; i < 512; ++i)
        ASSERT_EQ(y[i], 0) << i;
}

TEST(Render, SaturatesInsteadOfWrapping)
{
    TempDir dir;
    writeWav(dir / "in.wav", vowel(150, 1.0, kRate), kRate);
    const Result r = runRenderer("-g 100 '" + dir / "in.wav" + "' '" + dir / "out.wav" + "'", dir);
    ASSERT_EQ(r.code, 0) << r.err;
    SF_INFO info;
    const std::vector<double> y = readWav(dir / "out.wav", info);
    int atLimit = 0;
    for (size_t i = 1; i < y.size(); ++i) {
        if (std::fabs(y[i]) >= 32767.0 / 32768)
            ++atLimit;
        // Wrapping would jump from one rail to the other in one sample.
        ASSERT_LT(std::fabs(y[i] - y[i - 1]), 1.5) << i;
    }
    EXPECT_GT(atLimit, 1000);
}

TEST(Render, RejectsBadInputWithOneLineAndNoOutput)
{
    TempDir dir;
    writeWav(dir / "in.wav", vowel(150, 0.2, kRate), kRate);
    writeWav(dir / "empty.wav", {}, kRate);
    {
        std::ofstream(dir / "text.wav") << "this is not audio\n";
        std::ofstream(dir / "keep.wav") << "precious";
    }
    struct Case {
        std::string args, expect;
    };
    const std::string in = "'" + dir / "in.wav" + "' ";
    const Case cases[] = {
        {"'" + dir / "missing.wav" + "' '" + dir / "out.wav" + "'", "cannot open"},
        {"'" + dir / "text.wav" + "' '" + dir / "out.wav" + "'", "cannot read"},
        {"'" + dir / "empty.wav" + "' '" + dir / "out.wav" + "'", "no audio"},
        {"'" + dir.path + "' '" + dir / "out.wav" + "'", "folder"},
        {"--pitch 25 " + in + "'" + dir / "out.wav" + "'", "out of range"},
        {"--formant -0.1 " + in + "'" + dir / "out.wav" + "'", "out of range"},
        {"--gain abc " + in + "'" + dir / "out.wav" + "'", "needs a number"},
        {"--pitch nan " + in + "'" + dir / "out.wav" + "'", "needs a number"},
        {"--pitch " + in + "'" + dir / "out.wav" + "'", "needs a number"},
        {"--bogus " + in + "'" + dir / "out.wav" + "'", "unknown option"},
        {in, "expected INPUT and OUTPUT"},
        {in + "'" + dir / "no/such/folder/out.wav" + "'", "cannot write"},
        {"'" + dir / "missing.wav" + "' '" + dir / "keep.wav" + "'", "cannot open"},
    };
    for (const Case& c : cases) {
        const Result r = runRenderer(c.args, dir);
        EXPECT_NE(r.code, 0) << c.args;
        EXPECT_NE(r.err.find(c.expect), std::string::npos) << c.args << " -> " << r.err;
        EXPECT_EQ(r.err.rfind("quillmorph-render: ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    // Nothing written, no temporary left, an existing output untouched.
    std::vector<std::string> left = dir.entries();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"empty.wav", "in.wav", "keep.wav", "text.wav"}));
    std::ifstream keep(dir / "keep.wav");
    std::string content;
    keep >> content;
    EXPECT_EQ(content, "precious");

    const Result help = runRenderer("--help", dir);
    EXPECT_EQ(help.code, 0);
}

}  // namespace
