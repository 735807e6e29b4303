#include "loudness_run.h"

#include <charconv>
#include <cmath>
#include <string>

#include "loudness.h"
#include "measure.h"

namespace render {

bool read_loudness_target(std::string_view text, double& target) {
    double v = 0.0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (error != std::errc() || end != text.data() + text.size()) return false;
    if (!(v >= sound::loudness_lowest && v <= sound::loudness_highest)) return false;
    target = v;
    return true;
}

void print_measurement(std::FILE* in, const RenderState& start, std::int64_t total_blocks) {
    sound::Loudness m = measure_clean(in, start, sound::measure_all, total_blocks);
    std::printf("integrated_lufs %.2f\nrange_lu %.2f\ntrue_peak_dbtp %.2f\nsample_peak_dbfs %.2f\n", m.integrated,
                m.range, sound::to_db(m.true_peak), sound::to_db(m.sample_peak));
}

double loudness_pass(std::FILE* in, const RenderState& start, double target, std::int64_t total_blocks) {
    sound::Loudness m =
        measure_clean(in, start, sound::measure_integrated | sound::measure_true_peak, total_blocks);
    sound::LoudnessGain g = sound::loudness_gain(m, target);
    if (g.silent)
        std::fprintf(stderr, "loudness %s LUFS asked: the render is silent, left as it is\n",
                     sound::level_text(target).c_str());
    else if (g.limited)
        std::fprintf(stderr, "loudness %s LUFS asked, %s reached: true peak limit %s dBTP\n",
                     sound::level_text(target).c_str(), sound::level_text(g.reached).c_str(),
                     sound::level_text(sound::true_peak_limit_db, 0).c_str());
    return g.gain;
}

}  // namespace render
