#pragma once
// Where a sound device's clock stands between the moments data moves to or from it.
//
// SDL hands data over in periods whose timing says little about the device: a sound
// server's graph runs at a quantum of its own, resampled, and SDL's queue evens the two out,
// so one period may come a whole quantum late and the next at once, and the data moved lags
// the device by whatever that queue holds. Read off the last period alone, a position was
// off by up to a period, in runs of dozens of blocks (a slow beat between the two sizes).
//
// Data only ever moves late against the device's clock: capture hands over what was recorded
// before, playback takes what it will play after. So each period bounds where the clock
// started, and the tightest bound of the last few (but one) is where it stands. A period that
// says nothing (capture lost data, playback ran out) starts the bounds afresh.
//
// Plain values: no allocation, no lock (the device's owner guards it), no clock read here.

class DeviceClock {
public:
    // Periods the bound is taken over: longer than the beat a server's quantum and SDL's
    // period make (12 periods for 512 frames at 48 kHz against 512 at 44.1 kHz).
    static constexpr int kWindow = 32;

    enum class Side { Capture, Playback };

    explicit DeviceClock(Side side = Side::Capture, double rate = 44100) : side(side), rate(rate) {}

    // A period that moved data in full, at `seconds` on a steady clock: for capture,
    // `frames` recorded up to now; for playback, `frames` taken before this period's.
    void add(double seconds, double frames);
    // The next periods say where the clock is: after a start, a reset, lost data, silence.
    void restart()
    {
        count = 0;
        next = 0;
    }
    bool known() const { return count > 0; }
    // Frames the device's clock stands at, at `seconds`; 0 unless known().
    double at(double seconds) const;

private:
    Side side;
    double rate;
    double origins[kWindow] = {};  // where each period says the clock started, ring
    int count = 0;
    int next = 0;
};
