// The presentation pacing rule of the SDL backend, without windows: at most one screen
// update per interval, and what is drawn meanwhile is gathered so the newest picture
// goes with the next update.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "platform/sdl_present.h"

namespace {

using qm::kPresentIntervalUs;
using qm::ScreenPacing;

// A paint that drew `rect` at `atUs`, or (draw false) the message loop asking what is due.
struct Step {
    uint64_t atUs;
    bool draw;
    RECT rect;
};

struct Sent {
    uint64_t atUs;
    RECT rect;
};

bool operator==(const Sent& a, const Sent& b)
{
    return a.atUs == b.atUs && a.rect.left == b.rect.left && a.rect.top == b.rect.top &&
           a.rect.right == b.rect.right && a.rect.bottom == b.rect.bottom;
}

std::ostream& operator<<(std::ostream& out, const Sent& s)
{
    return out << "{" << s.atUs << ": " << s.rect.left << "," << s.rect.top << "," << s.rect.right << ","
               << s.rect.bottom << "}";
}

// As sdl_present.cpp drives the rule: a paint may go at once, the loop sends the rest.
std::vector<Sent> run(const std::vector<Step>& steps)
{
    ScreenPacing pacing;
    std::vector<Sent> sent;
    for (const Step& s : steps) {
        if (s.draw)
            pacing.drawn(s.rect.left, s.rect.top, s.rect.right, s.rect.bottom, s.atUs);
        RECT owed;
        if (pacing.takeDue(s.atUs, owed)) {
            pacing.shown(s.atUs);
            sent.push_back(Sent{s.atUs, owed});
        }
    }
    return sent;
}

constexpr uint64_t T = 1000000;  // an arbitrary start, far from 0 ("never shown")
constexpr uint64_t I = kPresentIntervalUs;

TEST(PresentPacing, AtMostOneUpdatePerIntervalAndTheNewestPictureGoesWithTheNext)
{
    const RECT a = {0, 0, 10, 10}, b = {20, 20, 30, 30}, c = {5, 40, 8, 50};
    struct Row {
        const char* what;
        std::vector<Step> steps;
        std::vector<Sent> sent;
    };
    const Row rows[] = {
        {"the first paint goes at once", {{T, true, a}}, {{T, a}}},
        {"a paint within the interval waits for the loop",
         {{T, true, a}, {T + 5000, true, b}, {T + I - 1, false, {}}, {T + I, false, {}}},
         {{T, a}, {T + I, b}}},
        {"paints of one interval go as one update, gathered",
         {{T, true, a}, {T + 1000, true, a}, {T + 2000, true, b}, {T + 3000, true, c}, {T + I, false, {}}},
         {{T, a}, {T + I, RECT{0, 0, 30, 50}}}},
        {"a paint after a quiet interval goes at once", {{T, true, a}, {T + I, true, b}}, {{T, a}, {T + I, b}}},
        {"the loop sends nothing when nothing is owed", {{T, true, a}, {T + I, false, {}}, {T + 3 * I, false, {}}},
         {{T, a}}},
        {"a flood keeps to the rate",
         {{T, true, a}, {T + I / 2, true, a}, {T + I, true, b}, {T + I + I / 2, true, c}, {T + 2 * I, false, {}}},
         {{T, a}, {T + I, RECT{0, 0, 30, 30}}, {T + 2 * I, c}}},
    };
    for (const Row& row : rows)
        EXPECT_EQ(run(row.steps), row.sent) << row.what;
}

TEST(PresentPacing, TheWaitEndsWhenTheNextUpdateIsDue)
{
    ScreenPacing pacing;
    EXPECT_EQ(pacing.untilDueUs(T), 0u) << "never shown";
    pacing.shown(T);
    const struct {
        uint64_t atUs;
        uint64_t waitUs;
    } rows[] = {{T, I}, {T + 1, I - 1}, {T + I - 1, 1}, {T + I, 0}, {T + 5 * I, 0}};
    for (const auto& row : rows)
        EXPECT_EQ(pacing.untilDueUs(row.atUs), row.waitUs) << row.atUs - T;
}

}  // namespace
