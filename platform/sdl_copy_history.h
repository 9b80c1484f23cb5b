#pragma once
// Copy avoidance of the SDL drawing layer: what a surface's pixels are known to equal,
// so that a copy can leave out the pixels that already hold what it would write (a pad
// repainted per move differs from its last picture only round the crosshair, old and
// new). Internal to platform/; it knows surfaces only, nothing of windows or DCs.
// Allocates nothing: a fixed table, found through the surface's userdata.

#include <SDL.h>

#include <cstdint>

namespace qm {

constexpr int kDamageRects = 8;

// Every write to a surface's pixels is reported here (a copy planned below reports
// itself through copied()).
void written(SDL_Surface* s, const SDL_Rect& r);
void writtenWhole(SDL_Surface* s);
// The surface is freed or serves another bitmap: nothing is known of it any more.
void forgetHistory(SDL_Surface* s);

// A copy of `area` of `to` from `from`, where the source pixel of p is p + (shiftX,
// shiftY): the parts of `area` that do not hold what the copy brings (all of it unless
// the histories tell otherwise). Surfaces of the same format, distinct.
struct CopyPlan {
    SDL_Rect parts[2 * kDamageRects];
    int partCount = 0;
    // What `to` holds once the parts are copied.
    SDL_Rect area = {0, 0, 0, 0};
    uint64_t baseStamp = 0;
    int baseX = 0;
    int baseY = 0;
    SDL_Rect carried[kDamageRects];
    int carriedCount = 0;
};
void planCopy(SDL_Surface* from, SDL_Surface* to, const SDL_Rect& area, int shiftX, int shiftY, CopyPlan& plan);
// The parts are copied: `to`'s history says so.
void copied(SDL_Surface* to, const CopyPlan& plan);

}  // namespace qm
