// Power in octave bands, for measuring the slope of a noise: Welch's
// average of Hann-windowed FFT segments.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <vector>

namespace test_spectrum {

inline void fft(std::vector<std::complex<double>>& a) {
    const std::size_t n = a.size();
    for (std::size_t i = 1, j = 0; i < n; ++i) {
        std::size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (std::size_t len = 2; len <= n; len <<= 1) {
        double angle = -2 * M_PI / static_cast<double>(len);
        std::complex<double> w1(std::cos(angle), std::sin(angle));
        for (std::size_t i = 0; i < n; i += len) {
            std::complex<double> w(1);
            for (std::size_t j = 0; j < len / 2; ++j) {
                std::complex<double> u = a[i + j], v = a[i + j + len / 2] * w;
                a[i + j] = u + v;
                a[i + j + len / 2] = u - v;
                w *= w1;
            }
        }
    }
}

// Mean power per bin over the segments.
inline std::vector<double> power_spectrum(const std::vector<double>& x, std::size_t segment = 8192) {
    std::vector<double> power(segment / 2, 0.0);
    std::vector<std::complex<double>> buf(segment);
    std::size_t count = 0;
    for (std::size_t start = 0; start + segment <= x.size(); start += segment / 2, ++count) {
        for (std::size_t i = 0; i < segment; ++i) {
            double w = 0.5 - 0.5 * std::cos(2 * M_PI * static_cast<double>(i) / static_cast<double>(segment));
            buf[i] = x[start + i] * w;
        }
        fft(buf);
        for (std::size_t k = 0; k < segment / 2; ++k) power[k] += std::norm(buf[k]);
    }
    if (count)
        for (double& p : power) p /= static_cast<double>(count);
    return power;
}

struct Bands {
    std::vector<double> octave;   // log2 of each band's centre frequency
    std::vector<double> db;       // mean power density in the band, in dB
    double slope = 0;             // least-squares dB per octave
};

// Octave bands from `low`, the last one cut at `high`.
inline Bands octave_bands(const std::vector<double>& x, double rate, double low, double high) {
    const std::size_t segment = 8192;
    std::vector<double> power = power_spectrum(x, segment);
    double bin = rate / static_cast<double>(segment);
    Bands b;
    for (double lo = low; lo < high; lo *= 2) {
        double hi = std::fmin(lo * 2, high);
        double sum = 0;
        int n = 0;
        for (std::size_t k = static_cast<std::size_t>(std::ceil(lo / bin)); static_cast<double>(k) * bin < hi; ++k, ++n)
            sum += power[k];
        b.octave.push_back(std::log2(std::sqrt(lo * hi)));
        b.db.push_back(10 * std::log10(sum / n));
    }
    double mx = 0, my = 0;
    for (std::size_t i = 0; i < b.db.size(); ++i) mx += b.octave[i], my += b.db[i];
    mx /= static_cast<double>(b.db.size());
    my /= static_cast<double>(b.db.size());
    double sxy = 0, sxx = 0;
    for (std::size_t i = 0; i < b.db.size(); ++i) {
        sxy += (b.octave[i] - mx) * (b.db[i] - my);
        sxx += (b.octave[i] - mx) * (b.octave[i] - mx);
    }
    b.slope = sxy / sxx;
    return b;
}

}  // namespace test_spectrum
