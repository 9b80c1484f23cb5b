#include "framework/NotificationClock.h"

#include <algorithm>

void Arrivals::add(int64_t now, int64_t frames)
{
    if (starved)
        count = 0;
    origins[count % kWindow] = now - frames;
    ++count;
}

int64_t Arrivals::earliest() const
{
    const int n = std::min(count, kWindow);
    int64_t e = origins[0];
    for (int k = 1; k < n; ++k)
        e = std::min(e, origins[k]);
    return e;
}

DelayReading readDelayByTimes(Arrivals& capture, const CaptureTimes& t, int blockSize)
{
    // The arrival, not now: the handler's time would count as capture running late.
    capture.add(t.arrivedAt, t.framesCaptured);
    int64_t ahead = std::max<int64_t>(0, t.arrivedAt - capture.earliest() - t.framesCaptured);
    const int64_t room = static_cast<int64_t>(t.captureBehind) * blockSize;
    if (ahead > room) {
        // More than the blocks behind this one can hold: they are full and capture lost
        // input since (a stall), so the earlier arrivals no longer tell its clock.
        capture.count = 0;
        capture.add(t.arrivedAt, t.framesCaptured);
        ahead = room;
    }
    // Both at the arrival: the delay does not depend on how long the handler took, but
    // whether playback ran dry meanwhile does.
    const int64_t pending = t.framesWritten - (t.arrivedAt - t.playbackOrigin);
    DelayReading r;
    r.dry = t.framesWritten - (t.now - t.playbackOrigin) <= 0;
    const int64_t d = blockSize + ahead + std::max<int64_t>(0, pending);
    r.delay = static_cast<int32_t>(std::min<int64_t>(d, 1 << 30));
    r.valid = true;
    return r;
}

int64_t clockFrames(int64_t count, int64_t frequency, int64_t rate)
{
    return count / frequency * rate + count % frequency * rate / frequency;
}
