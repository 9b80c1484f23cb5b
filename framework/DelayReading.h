#pragma once
// One block's delay reading, as the stream takes it off the host's wave layer.

#include <cstdint>

struct DelayReading {
    int32_t delay = 0;   // frames from capture of the block's first sample to its playback
    bool dry = false;    // playback has run out of queued frames
    bool valid = false;  // the layer answered; without it delay and dry say nothing
};

// The reading off the two devices' positions (frames each has moved since start), for a
// block notified after `framesCaptured` capture frames with `framesWritten` playback frames
// queued. The positions wrap at 32 bits, so the differences are taken there.
DelayReading readDelayByPositions(uint32_t capturePosition, uint32_t playbackPosition, int64_t framesCaptured,
                                  int64_t framesWritten, int blockSize);
