#include "framework/DelayReading.h"

#include <algorithm>

DelayReading readDelayByPositions(uint32_t capturePosition, uint32_t playbackPosition, int64_t framesCaptured,
                                  int64_t framesWritten, int blockSize)
{
    // Captured after this block (a late notification), and queued but not yet played;
    // a playback position past what was queued means playback ran dry.
    const int32_t ahead =
        std::max<int32_t>(0, static_cast<int32_t>(capturePosition - static_cast<uint32_t>(framesCaptured)));
    const int32_t pending = static_cast<int32_t>(static_cast<uint32_t>(framesWritten) - playbackPosition);
    DelayReading r;
    r.dry = pending <= 0;
    r.delay = blockSize + ahead + std::max<int32_t>(0, pending);
    r.valid = true;
    return r;
}
