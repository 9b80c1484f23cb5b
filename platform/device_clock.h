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
// A server may drop what was recorded while it or the machine stalled, and say nothing: every
// period after that comes later than the old bounds allow, and the position read off them ran
// ahead of the data by the stall until they left the window (pipewire-pulse, 20-100 ms for
// 0.7 s, which the stream took for a delay and cut out of the voice). So after a period late
// by a stall, periods that all come that much later start the bounds afresh.
//
// Plain values: no allocation, no lock (the device's owner guards it), no clock read here.

class DeviceClock {
public:
    // Periods the bound is taken over: longer than the beat a server's quantum and SDL's
    // period make (12 periods for 512 frames at 48 kHz against 512 at 44.1 kHz).
    static constexpr int kWindow = 32;

    enum class Side { Capture, Playback };

    // A period this much later than the one before and its data account for follows a stall.
    static constexpr double kStallSeconds = 0.015;
    // After a stall, this many periods in their pace, each later than the bound by more than
    // kLostSeconds, say the stall's data was lost. The graph's own beat makes periods up to a
    // quantum late (10.7 ms on PipeWire); a backlog handed over after a stall comes at once,
    // each period of it tighter, and is not counted.
    static constexpr int kLostPeriods = 6;
    static constexpr double kLostSeconds = 0.012;

    explicit DeviceClock(Side side = Side::Capture, double rate = 44100) : side(side), rate(rate) {}

    // A period that moved data in full, at `seconds` on a steady clock: for capture,
    // `frames` recorded up to now; for playback, `frames` taken before this period's.
    void add(double seconds, double frames);
    // The next periods say where the clock is: after a start, a reset, lost data, silence.
    void restart()
    {
        count = 0;
        next = 0;
        watching = false;
    }
    bool known() const { return count > 0; }
    // Capture after a stall, until its periods say whether the stall's data was lost: the
    // clock may stand ahead of the data by the stall meanwhile.
    bool unsure() const { return watching; }
    // Frames the device's clock stands at, at `seconds`; 0 unless known().
    double at(double seconds) const;

private:
    void push(double origin);
    // Where the clock started: the tightest bound but one (the only one of two).
    double origin() const;

    Side side;
    double rate;
    double origins[kWindow] = {};  // where each period says the clock started, ring
    int count = 0;
    int next = 0;
    double lastSeconds = 0;        // the last period's, while count > 0
    double lastFrames = 0;
    bool watching = false;         // capture after a stall: were its data lost?
    int late = 0;                  // periods since the stall, each later than the bound
};
