#include "framework/DelayControl.h"
#include "framework/NotificationClock.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Peak below which a block counts as quiet: -40 dB of full scale.
const int kQuietPeak = 328;

// A delay reading within this of the cushion is the devices' granularity, not a change.
// Past it, slow drift (two clocks) waits for a quiet block, where a jump is not heard.
// Positions kept on the devices' clocks agree within a few dozen frames (standard deviation
// 6-23 frames on the servers measured). Through pipewire-pulse the delay itself moves by one
// of the server's quanta (256 frames at 48 kHz, 235 here) after a stall of the machine, and
// the readings show it: a tolerance over a quantum left that for good. Notification times
// wander by a quarter block under Wine: twice that is the tolerance.
int32_t driftTolerance(WaveReading r, int blockSize)
{
    return r == WaveReading::Positions ? blockSize / 16 : blockSize / 2;
}

// A drift past this is corrected at once, in the voice or not: one this large was not slow.
int32_t loudDrift(WaveReading r, int blockSize)
{
    return r == WaveReading::Positions ? blockSize / 4 : blockSize;
}

// A reading this far off is an event (a stall, a lost device): corrected at once.
int32_t eventThreshold(WaveReading r, int blockSize)
{
    return r == WaveReading::Positions ? blockSize / 2 : blockSize;
}

// Whatever the reading, it is sure of this much: a block's difference, and of playback
// having run dry (the gap is heard anyway, so the cushion comes back at once).
int32_t dryTolerance(int blockSize) { return blockSize / 8; }

// Readings that agree within this are settled: the phase is set again off their median.
int32_t settledSpread(int blockSize) { return blockSize / 16; }
// ... when it is off by more than this.
int32_t settleTolerance(int blockSize) { return blockSize / 64; }

}  // namespace

bool quietBlock(const short* x, int n)
{
    for (int i = 0; i < n; ++i)
        if (std::abs(static_cast<int>(x[i])) >= kQuietPeak)
            return false;
    return true;
}

DelayControl::DelayControl(int blockSize, WaveReading reading)
    : blockSize(blockSize), reading(reading), calibrated(reading == WaveReading::Positions)
{
}

bool DelayControl::recentAgree(int32_t spread, int32_t& median) const
{
    int32_t m[kDriftReadings];
    std::copy(recent, recent + kDriftReadings, m);
    std::sort(m, m + kDriftReadings);
    median = m[kDriftReadings / 2];
    return m[kDriftReadings - 1] - m[0] <= spread;
}

void DelayControl::calibrate(int32_t nominal)
{
    // Notifications come later than the blocks are done, capture's and playback's not by the
    // same: the reading is off the real delay by the difference, so the delay start gave is
    // the one to hold. Readings that disagree (a stall so early) wait for later ones.
    int32_t median = 0;
    if (!recentAgree(blockSize / 4, median))
        return;
    const int32_t off = median - nominal;
    if (std::abs(off) > blockSize / 2)
        return;
    bias = off;
    calibrated = true;
}

DelayControl::Decision DelayControl::onBlock(const DelayReading& r, int captureBehind, bool quiet)
{
    const int32_t nominal = kCushionBlocks * blockSize;
    const int32_t delay = r.valid ? r.delay : 0;
    const bool dry = r.valid && r.dry;
    if (r.valid) {
        recent[recentCount % kDriftReadings] = delay;
        ++recentCount;
        ++readings;
        // A circulation that keeps capture fed and playback going is one to calibrate on.
        healthy = dry || captureBehind == 0 ? 0 : healthy + 1;
    }
    if (phasePending && recentCount == 2) {
        phasePending = false;
        // Only in a quiet block, as any correction that is not an event (the voice changer's
        // first output is silence; a voice from the first moment waits for a pause).
        // The holdoff keeps the other rules off as after any correction, but the readings
        // in it are what the settling below waits for: the voice may begin within its 0.4 s.
        if (std::abs(delay - nominal) > dryTolerance(blockSize) && quiet) {
            correction = delay - nominal;
            holdoff = kHoldoffBlocks;
            recentCount = 0;
            phaseHoldoff = true;
        }
    }
    if (settlePending && correction == 0 && (holdoff == 0 || phaseHoldoff) && recentCount >= kDriftReadings && quiet && r.valid &&
        !dry) {
        // The devices' clocks have seen enough periods for the readings to agree: the phase
        // goes where they say, in a quiet block, so the delay held is the cushion to a few
        // frames on every start. Readings that do not agree yet wait for later ones.
        int32_t median = 0;
        if (recentAgree(settledSpread(blockSize), median)) {
            settlePending = false;
            afterEvent = false;  // what an event left over is what this takes
            const int32_t error = median - nominal;
            if (std::abs(error) > settleTolerance(blockSize)) {
                correction = error;
                holdoff = kHoldoffBlocks;
                phaseHoldoff = false;
                recentCount = 0;
                Decision d;
                d.correction = correction;
                return d;
            }
        }
    }
    if (!calibrated && healthy >= kDriftReadings && recentCount >= kDriftReadings &&
        readings >= Arrivals::kWindow + kDriftReadings)
        calibrate(nominal);
    const int32_t target = nominal + bias;
    Decision d;
    if (correction == 0 && holdoff > 0) {
        // Readings from while the correction settled would hide what it left over.
        if (--holdoff == 0 && !phaseHoldoff)
            recentCount = 0;
        phaseHoldoff = phaseHoldoff && holdoff > 0;
    } else if (correction == 0 && recentCount > 0 && r.valid) {
        // A reading that failed says nothing about the delay: taken as zero it would add
        // two blocks of silence.
        int32_t error = delay - target;
        // Before the reading's bias is known, only a block off is sure to be an event.
        const int32_t tolerance = driftTolerance(reading, blockSize);
        const int32_t threshold = calibrated ? eventThreshold(reading, blockSize) : blockSize;
        const bool event = std::abs(error) > threshold || (dry && std::abs(error) > dryTolerance(blockSize));
        // Unless playback ran dry, one reading past the threshold waits for the next on the
        // same side, and the smaller of the two is taken: a period SDL gave a stalled machine
        // late reads a block off for a moment, and the silence or the cut made for it would be
        // a gap of its own, and the delay off until the drift rule brought it back.
        if (event && !dry) {
            const bool confirmed = suspect != 0 && (suspect > 0) == (error > 0);
            if (confirmed && std::abs(suspect) < std::abs(error))
                error = suspect;
            suspect = confirmed ? 0 : error;
            if (!confirmed)
                error = 0;
        } else {
            suspect = 0;
        }
        if (!event) {
            error = 0;
            const int n = afterDry ? kRestReadings : kDriftReadings;
            if (calibrated && recentCount >= n) {
                // A drift only when each of the last n readings lies past the tolerance on one
                // side; its size is their median (the least would leave the readings' noise behind).
                // After playback ran dry, the median alone: the readings swing by a few hundred
                // frames with the periods, and the gap was heard anyway.
                int32_t m[kDriftReadings];
                bool oneSide = true;
                for (int k = 0; k < n; ++k) {
                    m[k] = recent[(recentCount - 1 - k) % kDriftReadings] - target;
                    oneSide = oneSide && std::abs(m[k]) > tolerance && (m[k] > 0) == (m[0] > 0);
                }
                std::sort(m, m + n);
                const int32_t median = m[n / 2];
                const int32_t drift = (afterDry ? std::abs(median) > tolerance : oneSide) ? median : 0;
                // What an event's correction left over, by the first readings after it, goes at
                // once too: the gap was heard.
                const bool rest = afterEvent;
                afterEvent = false;
                afterDry = false;
                if (std::abs(drift) > loudDrift(reading, blockSize) || (drift != 0 && rest) ||
                    (std::abs(drift) > tolerance && quiet))
                    error = drift;
            }
        }
        if (error != 0) {
            afterEvent = event;
            afterDry = event && dry;
            // Playback's periods start afresh after it ran dry, and an event's correction, made
            // off readings of a stall, may leave the delay some frames off, under the drift
            // tolerance, for good: set again once the readings settle.
            settlePending = settlePending || (event && reading == WaveReading::Positions);
            // One correction at a time, then a pause: a handler that cannot keep up
            // loses some late blocks, not all of them. After playback ran dry, only the
            // block that brings the cushion back: the ones after it show the new periods.
            correction = error;
            holdoff = afterDry ? 1 : kHoldoffBlocks;
            phaseHoldoff = false;
            recentCount = 0;
            d.restoration = true;
        }
    }
    d.correction = correction;
    return d;
}
