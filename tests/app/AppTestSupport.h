#pragma once
// Helpers shared by the application suites: a temporary working folder, BMP files
// written for the pad to load, a voiced test signal and a period estimator that
// is independent of the detector under test.

#include <cstdint>
#include <string>
#include <vector>

namespace apptest {

// Creates a fresh folder, makes it the working folder, and goes back on destruction.
class TempWorkDir {
public:
    TempWorkDir();
    ~TempWorkDir();
    const std::string& path() const { return path_; }

private:
    std::string previous_;
    std::string path_;
};

// A 24-bit bottom-up BMP of one colour.
bool writeSolidBmp(const std::string& file, int width, int height, uint8_t r, uint8_t g, uint8_t b);

// Sum of harmonics of a fundamental with the given period (in samples), falling
// off like a voice, amplitude peak about `peak`. Phase-continuous from `start`.
std::vector<double> voicedSignal(double period, size_t start, size_t count, double peak);

// Period in samples of the strongest repetition in x, by normalised time-domain
// autocorrelation, searching lags minLag..maxLag and preferring the shortest lag
// whose score is within 10% of the best. Returns 0 for silence.
double estimatePeriod(const double* x, size_t n, int minLag, int maxLag);
double estimatePeriod(const std::vector<double>& x, int minLag, int maxLag);

double rms(const double* x, size_t n);

}  // namespace apptest
