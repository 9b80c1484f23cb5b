// rdft's entry point and its tables; the transform itself runs on one of two paths
// (rdft_baseline.cpp, rdft_avx2.cpp) in the order rdft_stages.h gives.
//
// Table (w): a chain of levels of sizes nw/2, nw/4, ..., 2; the level of size s
// sits at w + nw - 2s and holds e^(i k pi / s) and e^(3 i k pi / s) for k in
// 1 .. s/4 - 1 at elements 4k .. 4k+3 (cos, sin, cos3, -sin3), cos(pi/4) at 1,
// and at 2, 3 the secants that let the first stage interpolate odd twiddles.
// Work area (ip): ip[0] = nw, ip[1] = nc, from ip + 2 the bit-reversal seeds.

#include "dsp/rdft.h"

#include "dsp/rdft_detail.h"

#include <cmath>

namespace detail {

void makewt(int nw, int* ip, double* w)
{
    ip[0] = nw;
    ip[1] = 1;
    if (nw <= 2)
        return;
    int nwh = nw >> 1;
    const double delta = std::atan(1.0) / nwh;
    const double delta3 = 3 * delta;
    w[0] = 1;
    w[1] = std::cos(delta * nwh);
    if (nwh == 4) {
        w[2] = std::cos(delta * 2);
        w[3] = std::sin(delta * 2);
    } else if (nwh >= 8) {
        w[2] = 0.5 / std::cos(delta * 2);
        w[3] = 0.5 / std::cos(delta * 6);
        for (int j = 4; j < nwh; j += 4) {
            w[j] = std::cos(delta * j);
            w[j + 1] = std::sin(delta * j);
            w[j + 2] = std::cos(delta3 * j);
            w[j + 3] = -std::sin(delta3 * j);
        }
    }
    // Each further level takes every other entry of the one before.
    int prev = 0;
    while (nwh > 2) {
        const int cur = prev + nwh;
        nwh >>= 1;
        w[cur] = 1;
        w[cur + 1] = w[1];
        if (nwh >= 8) {
            w[cur + 2] = 0.5 / w[prev + 4];
            w[cur + 3] = 0.5 / w[prev + 6];
            for (int j = 4; j < nwh; j += 4) {
                w[cur + j] = w[prev + 2 * j];
                w[cur + j + 1] = w[prev + 2 * j + 1];
                w[cur + j + 2] = w[prev + 2 * j + 2];
                w[cur + j + 3] = w[prev + 2 * j + 3];
            }
        } else if (nwh == 4) {
            w[cur + 2] = w[prev + 4];
            w[cur + 3] = w[prev + 5];
        }
        prev = cur;
    }
    if ((nw >> 1) > 4)
        makeipt(nw, ip);
}

void makeipt(int nw, int* ip)
{
    ip[2] = 0;
    ip[3] = 16;
    int m = 2;
    for (int l = nw; l > 32; l >>= 2) {
        const int m2 = m << 1;
        const int q = m2 << 3;
        for (int j = m; j < m2; ++j) {
            const int p = ip[j] << 2;
            ip[m + j] = p;
            ip[m2 + j] = p + q;
        }
        m = m2;
    }
}

void makect(int nc, int* ip, double* c)
{
    ip[1] = nc;
    if (nc <= 1)
        return;
    const int nch = nc >> 1;
    const double delta = std::atan(1.0) / nch;
    c[0] = std::cos(delta * nch);
    c[nch] = 0.5 * c[0];
    for (int j = 1; j < nch; ++j) {
        c[j] = 0.5 * std::cos(delta * j);
        c[nc - j] = 0.5 * std::sin(delta * j);
    }
}

}  // namespace detail

void rdft(int32_t n, int32_t isgn, double* a, int* ip, double* w)
{
    using namespace detail;
    int nw = ip[0];
    if (n > (nw << 2)) {
        nw = n >> 2;
        makewt(nw, ip, w);
    }
    int nc = ip[1];
    if (n > (nc << 2)) {
        nc = n >> 2;
        makect(nc, ip, w + nw);
    }
    const bool inverse = isgn < 0;
    // Elements 0 and 1 hold R[0] and R[n/2], which the complex transform gets as
    // the sum and the difference of its point 0.
    if (inverse) {
        a[1] = 0.5 * (a[0] - a[1]);
        a[0] -= a[1];
    }
#if QM_RDFT_AVX2
    if (avx2PathChosen())
        realTransformAvx2(inverse, n, a, ip, nw, w, nc);
    else
#endif
        realTransformBaseline(inverse, n, a, ip, nw, w, nc);
    if (!inverse) {
        const double d = a[0] - a[1];
        a[0] += a[1];
        a[1] = d;
    }
}
