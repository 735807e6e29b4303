// The timeline as an SVG picture.
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "checker.h"
#include "sequence.h"
#include "text.h"

namespace check {

namespace {

// Plotting works on values a picture can hold.
double plottable(double v) {
    if (std::isnan(v)) return 0.0;
    return std::clamp(v, -1e12, 1e12);
}

// A round step of 1, 2 or 5 times a power of ten giving at most about
// `ticks` intervals over the range.
double round_step(double range, int ticks) {
    double raw = range / ticks;
    if (!(raw > 0)) return 1.0;
    double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (m * magnitude >= raw) return m * magnitude;
    return 10.0 * magnitude;
}

// A round step of time: seconds, minutes, hours as a clock counts them.
double time_step(double total) {
    static const double steps[] = {1,   2,    5,    10,   15,   30,    60,    120,   300,  600,
                                   900, 1200, 1800, 3600, 7200, 10800, 21600, 43200, 86400};
    for (double s : steps)
        if (total / s <= 6) return s;
    return 86400 * round_step(total / 86400, 6);
}

struct Axis {
    double bottom, top, step;
};

Axis round_axis(double low, double high, int ticks) {
    double step = round_step(high - low, ticks);
    return {std::floor(low / step) * step, std::ceil(high / step) * step, step};
}

std::string fmt(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string escape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '<') escaped += "&lt;";
        else if (c == '>') escaped += "&gt;";
        else if (c == '&') escaped += "&amp;";
        else if (c == '"') escaped += "&quot;";
        else if (static_cast<unsigned char>(c) >= 32) escaped += c;
    }
    return escaped;
}

}  // namespace

std::string plot_svg(const Report& r, const std::string& title) {
    const double width = 800, height = 360, left = 60, right = 60, top = 40, bottom = 40;
    const double plot_w = width - left - right, plot_h = height - top - bottom;
    const double total = static_cast<double>(std::max<std::int64_t>(r.renderer_seconds, 1));
    const Axis beat = round_axis(std::min(0.0, plottable(r.beat_min)), std::max(40.0, plottable(r.beat_max)), 5);
    const Axis volume =
        round_axis(std::min(0.0, plottable(r.volume_min)), std::max(100.0, plottable(r.volume_max)), 5);
    auto x = [&](double t) { return left + plot_w * t / total; };
    auto y_on = [&](const Axis& a, double v) { return top + plot_h * (a.top - plottable(v)) / (a.top - a.bottom); };
    auto y_beat = [&](double b) { return y_on(beat, b); };
    auto y_volume = [&](double v) { return y_on(volume, v); };

    std::string beat_points, volume_points, noise_points;
    for (const Step& s : r.steps) {
        double t0 = static_cast<double>(s.start), t1 = t0 + static_cast<double>(s.length);
        // The noise level holds through a step: a staircase on the percent axis.
        noise_points +=
            fmt(x(t0)) + "," + fmt(y_volume(s.noise_heard())) + " " + fmt(x(t1)) + "," + fmt(y_volume(s.noise_heard())) + " ";
        beat_points += fmt(x(t0)) + "," + fmt(y_beat(s.beat_from)) + " " + fmt(x(t1)) + "," + fmt(y_beat(s.beat_to)) + " ";
        volume_points +=
            fmt(x(t0)) + "," + fmt(y_volume(s.volume_from)) + " " + fmt(x(t1)) + "," + fmt(y_volume(s.volume_to)) + " ";
    }
    std::string svg = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    svg += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"800\" height=\"360\" viewBox=\"0 0 800 360\" "
           "font-family=\"sans-serif\" font-size=\"12\">\n";
    svg += "<rect width=\"800\" height=\"360\" fill=\"white\"/>\n";
    svg += "<text x=\"400\" y=\"22\" text-anchor=\"middle\" font-size=\"14\">" + escape(title) + "</text>\n";
    svg += "<rect x=\"" + fmt(left) + "\" y=\"" + fmt(top) + "\" width=\"" + fmt(plot_w) + "\" height=\"" +
           fmt(plot_h) + "\" fill=\"none\" stroke=\"#888\"/>\n";
    auto ticks = [](const Axis& a) { return static_cast<int>(std::lround((a.top - a.bottom) / a.step)); };
    for (int i = 0, n = ticks(beat); i <= n && i <= 20; ++i) {
        double b = beat.bottom + beat.step * i;
        svg += "<text x=\"" + fmt(left - 6) + "\" y=\"" + fmt(y_beat(b) + 4) +
               "\" text-anchor=\"end\" fill=\"#1f5fbf\">" + number_text(b) + "</text>\n";
    }
    for (int i = 0, n = ticks(volume); i <= n && i <= 20; ++i) {
        double v = volume.bottom + volume.step * i;
        svg += "<text x=\"" + fmt(width - right + 6) + "\" y=\"" + fmt(y_volume(v) + 4) + "\" fill=\"#c06000\">" +
               number_text(v) + "</text>\n";
    }
    const double t_step = time_step(total);
    for (int i = 0; i * t_step <= total && i <= 20; ++i) {
        double t = i * t_step;
        svg += "<line x1=\"" + fmt(x(t)) + "\" y1=\"" + fmt(height - bottom) + "\" x2=\"" + fmt(x(t)) + "\" y2=\"" +
               fmt(height - bottom + 4) + "\" stroke=\"#888\"/>\n";
        svg += "<text x=\"" + fmt(x(t)) + "\" y=\"" + fmt(height - bottom + 16) + "\" text-anchor=\"middle\">" +
               seq::clock_text(static_cast<std::int64_t>(t)) + "</text>\n";
    }
    svg += "<text x=\"" + fmt(left) + "\" y=\"" + fmt(top - 8) + "\" fill=\"#1f5fbf\">beat (Hz)</text>\n";
    svg += "<text x=\"" + fmt(width - right) + "\" y=\"" + fmt(top - 8) +
           "\" text-anchor=\"end\" fill=\"#c06000\">volume (%)</text>\n";
    // Noise only where a sequence has some: older pictures stay as they were.
    const bool noisy = r.noise_max > 0 && !r.steps.empty();
    if (noisy)
        svg += "<text x=\"" + fmt(width - right - 80) + "\" y=\"" + fmt(top - 8) +
               "\" text-anchor=\"end\" fill=\"#2e8b57\">noise (%)</text>\n";
    if (!r.steps.empty()) {
        if (noisy)
            svg += "<polyline fill=\"none\" stroke=\"#2e8b57\" stroke-width=\"2\" stroke-dasharray=\"1 3\" points=\"" +
                   noise_points + "\"/>\n";
        svg += "<polyline fill=\"none\" stroke=\"#1f5fbf\" stroke-width=\"2\" points=\"" + beat_points + "\"/>\n";
        svg += "<polyline fill=\"none\" stroke=\"#c06000\" stroke-width=\"2\" stroke-dasharray=\"6 3\" points=\"" +
               volume_points + "\"/>\n";
    }
    // The renderer carries a fade past 0 to 100; the player stops there.
    for (double limit : {100.0, 0.0}) {
        bool beyond = limit > 0 ? r.volume_max > 100.0 : r.volume_min < 0.0;
        if (!beyond) continue;
        svg += "<line x1=\"" + fmt(left) + "\" y1=\"" + fmt(y_volume(limit)) + "\" x2=\"" + fmt(width - right) +
               "\" y2=\"" + fmt(y_volume(limit)) + "\" stroke=\"#c06000\" stroke-dasharray=\"2 4\"/>\n";
        svg += "<text x=\"" + fmt(width - right - 4) + "\" y=\"" + fmt(y_volume(limit) + (limit > 0 ? -4 : 14)) +
               "\" text-anchor=\"end\" fill=\"#c06000\">player stops at " + number_text(limit) +
               "; renderer plays " + number_text(limit > 0 ? plottable(r.volume_max) : plottable(r.volume_min)) +
               "</text>\n";
    }
    svg += "</svg>\n";
    return svg;
}

}  // namespace check

