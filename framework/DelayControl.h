#pragma once
// The stream's decision, block by block, on how far to correct its delay toward the
// cushion start gave (kCushionBlocks blocks from capture to playback). It sees only the
// block's delay reading, how many capture blocks are queued behind the block, whether the
// block is quiet, and its own history; the stream makes the corrections it asks for.
//
// - An event (off by more than the threshold, or playback dry) is corrected at once when
//   playback ran dry, else once two readings in a row say so, by the smaller.
// - A slow drift only after kDriftReadings readings all lie past the tolerance on one side,
//   by their median, and only in a quiet block unless it is past the loud drift's threshold.
// - After a correction, kHoldoffBlocks blocks pass before the next may start; what an
//   event's correction left over, by the first readings after that, goes at once.
// - After playback ran dry, the devices' periods start again anywhere in a block (a capture
//   device opened afresh, a playback device that played silence): what the readings show
//   then goes at once, by the median of kRestReadings readings after the block that brought
//   the cushion back.
// - Read off notification times, the reading carries a bias: start's delay is taken as the
//   one to hold once kDriftReadings healthy readings agree on it; until then only events.
// - The phase playback begins at is set with the second reading, in a quiet block, and
//   again once kDriftReadings readings agree to a sixteenth of a block (the devices'
//   positions take some periods to settle), in a quiet block, when off by more than a
//   64th; that again after an event (playback ran dry, or a stall). Neither counts as a
//   restoration.
//
// Plain values: no allocation, no lock, called on the capture notification thread only.

#include "framework/DelayReading.h"
#include "platform/wave_host.h"

#include <cstdint>

class DelayControl {
public:
    // The delay held, in blocks: capture fills one block while two wait to be played.
    static const int kCushionBlocks = 2;
    // Readings a slow drift must show in a row (8 blocks, 0.37 s) before it is corrected: a
    // reading off for a moment (a device catching up in a burst) is no drift.
    static const int kDriftReadings = 8;
    // Blocks after a correction before the next may start: the readings settle first.
    static const int kHoldoffBlocks = 8;
    // Readings after playback ran dry that say where the periods started again: the readings
    // settle with the first block played after the cushion came back, within a few hundred
    // frames of each other, and up to a third of a block off the cushion. Eight and a holdoff
    // would leave the first words after a lost device that far off for 0.7 s.
    static const int kRestReadings = 3;

    struct Decision {
        // Frames still to correct: > 0 to leave out of playback, < 0 to add as silence.
        int32_t correction = 0;
        // A new correction was decided with this block (the phase setting is none).
        bool restoration = false;
    };

    DelayControl() = default;
    // A stream starting: blockSize frames per block, its delay read the given way.
    DelayControl(int blockSize, WaveReading reading);

    // Playback has just begun: the next readings show the phase its device's periods
    // started at, which the second one sets right if the block is quiet, and the first
    // settled ones again.
    void beginPhase()
    {
        phasePending = true;
        settlePending = true;
    }
    // Once per captured block, before it is played.
    Decision onBlock(const DelayReading& r, int captureBehind, bool quiet);
    // The stream made this much of the correction (same sign as Decision::correction).
    void made(int32_t frames) { correction -= frames; }

private:
    void calibrate(int32_t nominal);
    // The last kDriftReadings readings lie within `spread` of each other; `median` is theirs.
    bool recentAgree(int32_t spread, int32_t& median) const;

    int blockSize = 0;
    WaveReading reading = WaveReading::Positions;
    int32_t recent[kDriftReadings] = {};  // last delays: drift is what all of them agree on
    int recentCount = 0;
    int32_t correction = 0;       // frames still to leave out (> 0) or to add as silence (< 0)
    int holdoff = 0;              // blocks before the next reading may start a correction
    int32_t bias = 0;             // what the reading adds to the real delay (notification times)
    bool calibrated = false;      // bias known: slow drift may be corrected
    bool afterEvent = false;      // the last correction was for an event: its rest may follow at once
    bool afterDry = false;        // ... for playback run dry: its rest follows kRestReadings readings
    int32_t suspect = 0;          // the last reading's error when it alone said event (playback not dry)
    int readings = 0;             // since start
    int healthy = 0;              // readings in a row with capture fed and playback going
    bool phasePending = false;    // playback just begun: the next reading sets its phase right
    bool settlePending = false;   // ... and the first settled readings set it again
    bool phaseHoldoff = false;    // the holdoff is the phase's: its readings count for the settling
};

// Whether a block of n samples is quiet: its peak below -40 dB of full scale, where a
// jump in the sound is not heard.
bool quietBlock(const short* x, int n);
