#pragma once
// For tests and benchmarks only: forcing rdft's path. The program never calls this.

#include "dsp/rdft.h"

// Makes rdft and the spectrum kernels use path p from now on. Returns false, and
// changes nothing, when p is avx2 and rdftAvx2Available() is false. Not for use
// while another thread is inside rdft or a spectrum kernel.
bool rdftUsePath(RdftPath p);
