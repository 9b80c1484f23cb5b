#include "platform/device_clock.h"

#include <algorithm>

void DeviceClock::push(double origin)
{
    origins[next] = origin;
    next = (next + 1) % kWindow;
    count = std::min(count + 1, kWindow);
}

void DeviceClock::add(double seconds, double frames)
{
    const double interval = seconds - lastSeconds;
    const double span = (frames - lastFrames) / rate;
    if (side == Side::Capture && count > 0 && interval - span > kStallSeconds) {
        watching = true;
        late = 0;
    }
    lastSeconds = seconds;
    lastFrames = frames;
    const double o = seconds - frames / rate;
    push(o);
    if (!watching)
        return;
    if (o - origin() <= kLostSeconds) {
        watching = false;  // the stall's data came, late but whole
    } else if (interval >= span / 2 && ++late == kLostPeriods) {
        // They were lost: the clock goes on where these periods say.
        double kept[kLostPeriods];
        for (int k = 0; k < kLostPeriods; ++k)
            kept[k] = origins[(next - kLostPeriods + k + kWindow) % kWindow];
        restart();
        for (double v : kept)
            push(v);
    }
}

double DeviceClock::origin() const
{
    // Capture's data came late, so its clock started no later than any period says;
    // playback's was taken early, so its clock started no earlier. One period alone may be a
    // fluke (a server hands its first fragment over at once): the tightest but one counts.
    const bool capture = side == Side::Capture;
    const auto tighter = [capture](double a, double b) { return capture ? a < b : a > b; };
    double best = origins[0];
    double second = origins[0];
    for (int i = 1; i < count; ++i) {
        if (tighter(origins[i], best)) {
            second = best;
            best = origins[i];
        } else if (i == 1 || tighter(origins[i], second)) {
            second = origins[i];
        }
    }
    return count >= 3 ? second : best;
}

double DeviceClock::at(double seconds) const
{
    if (count == 0)
        return 0;
    return (seconds - origin()) * rate;
}
