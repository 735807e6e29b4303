// Phase arithmetic both tone generators share: the remainder that keeps a
// partial's phase inside one table cycle.
#pragma once

#include <cmath>

namespace sound {

// fmod(x, M) wrapped into [0, M). A sum below 2M is reduced by one exact
// subtraction, which is what fmod computes for it; a negative remainder is
// moved up a cycle, and a partial that is not finite rests at phase 0, so
// no table read ever leaves the cycle. M is a constant at every call, so the
// compiler folds it as it would a template argument.
inline double wrap_phase(double x, double M) {
    if (x >= 0.0 && x < 2.0 * M) return x >= M ? x - M : x;
    double r = std::fmod(x, M);
    if (r < 0.0) {
        r += M;
        if (r >= M) r = 0.0;
    }
    if (!(r >= 0.0 && r < M)) r = 0.0;
    return r;
}

}  // namespace sound
