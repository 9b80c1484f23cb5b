#include "platform/device_clock.h"

#include <algorithm>

void DeviceClock::add(double seconds, double frames)
{
    origins[next] = seconds - frames / rate;
    next = (next + 1) % kWindow;
    count = std::min(count + 1, kWindow);
}

double DeviceClock::at(double seconds) const
{
    if (count == 0)
        return 0;
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
    return (seconds - (count >= 3 ? second : best)) * rate;
}
