#include "gain.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "sequence.h"

namespace desk {

void Glide::step(double dt) {
    if (!(dt > 0.0)) return;
    double most = seconds > 0.0 ? dt / seconds : 1.0;
    double d = target - value;
    value = std::fabs(d) <= most ? target : value + std::copysign(most, d);
}

double sleep_curve(double total, double elapsed) {
    double left = total - elapsed;
    if (!(left > 0.0)) return 0.0;
    double fade = std::min(sleep_fade_seconds, total);
    if (left >= fade) return 1.0;
    double db = sleep_floor_db * (1.0 - left / fade);
    return std::pow(10.0, db / 20.0);
}

void SleepTimer::set(double now, double seconds) {
    if (ended) return;
    active = true;
    total = seconds;
    start = now;
}

void SleepTimer::step(double now, double dt) {
    if (active && now - start >= total) {
        active = false;
        ended = true;
    }
    if (ended) {
        stage.value = stage.target = 0.0;
        return;
    }
    stage.target = active ? sleep_curve(total, now - start) : 1.0;
    if (stage.target < stage.value)
        stage.value = stage.target;
    else
        stage.step(dt);
}

double SleepTimer::remaining(double now) const { return active ? std::max(0.0, total - (now - start)) : 0.0; }

bool parse_timer_minutes(const char* text, double& minutes) {
    if (!text || !*text) return false;
    // Read as sequence numbers are, with a point whatever the locale.
    std::size_t used = 0;
    double m = seq::read_number(text, &used);
    if (used != std::strlen(text) || !(m > 0.0) || m > max_timer_minutes) return false;
    minutes = m;
    return true;
}

}  // namespace desk
