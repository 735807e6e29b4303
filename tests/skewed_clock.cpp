// Preloaded into the player to make its monotonic clock run at another
// rate than the system's (AMBRISE_CLOCK_RATE, e.g. 0.995): against a sound
// server on the system clock, the sink then runs fast or slow as seen from
// the player, as real sound cards do.
#include <dlfcn.h>
#include <cstdlib>
#include <ctime>

namespace {

using ClockGettime = int (*)(clockid_t, timespec*);

ClockGettime real_clock_gettime() {
    static ClockGettime real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real;
}

double seconds(const timespec& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9; }

}  // namespace

extern "C" int clock_gettime(clockid_t id, timespec* ts) {
    int r = real_clock_gettime()(id, ts);
    if (r != 0 || id != CLOCK_MONOTONIC) return r;
    static double rate = [] {
        const char* s = std::getenv("AMBRISE_CLOCK_RATE");
        return s ? std::atof(s) : 1.0;
    }();
    static double origin = seconds(*ts);
    double t = origin + (seconds(*ts) - origin) * rate;
    ts->tv_sec = static_cast<time_t>(t);
    ts->tv_nsec = static_cast<long>((t - static_cast<double>(ts->tv_sec)) * 1e9);
    return r;
}
