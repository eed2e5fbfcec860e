// The interpolator: a sinc under a Kaiser window (beta 7) of 16 taps for
// each of the points a quarter, a half and three quarters of the way from
// one sample to the next; each phase's taps sum to exactly 1 (16384), so a
// steady level reads as itself. Its gain stays within 0.005 dB of flat up
// to 70% of the Nyquist frequency (17 kHz at 48 kHz), where the 12-tap
// filter of the loudness recommendation ripples by 0.2 dB; above that it
// rolls off, as every finite interpolator must.
#include "agc/true_peak.h"

#include <cstring>

namespace agc {

namespace {

constexpr std::int16_t PHASES[3][TRUE_PEAK_TAPS] = {
    {-14, 55, -146, 325, -650, 1263, -2725, 14703, 4779, -1802, 905, -464, 222, -92, 30, -5},
    {-13, 58, -165, 381, -778, 1509, -3100, 10300, 10300, -3100, 1509, -778, 381, -165, 58, -13},
    {-5, 30, -92, 222, -464, 905, -1802, 4779, 14703, -2725, 1263, -650, 325, -146, 55, -14},
};

constexpr int HISTORY = TRUE_PEAK_TAPS - 1;
constexpr int BLOCK = 16; // points interpolated together
constexpr std::size_t CHUNK = 256;

constexpr std::int32_t abs32(std::int32_t v) { return v < 0 ? -v : v; }

// The four points after each of the samples 7 .. 7 + BLOCK - 1 of w (which
// holds BLOCK + 15 samples): the sample, exact, and the three interpolated
// ones, the largest magnitude of them into m. Each sum is at most
// 32768 * 16384 * 1.99 (the phases' largest sum of magnitudes), inside 31 bits.
void interpolate_block(const std::int16_t* w, std::int32_t* m) {
    std::int32_t p[3][BLOCK] = {};
    for (int t = 0; t < TRUE_PEAK_TAPS; ++t) {
        for (int q = 0; q < 3; ++q) {
            const std::int32_t c = PHASES[q][t];
            for (int j = 0; j < BLOCK; ++j) p[q][j] += c * w[j + t];
        }
    }
    for (int j = 0; j < BLOCK; ++j) {
        std::int32_t a = abs32(static_cast<std::int32_t>(w[j + TRUE_PEAK_DELAY - 1]) * (1 << TRUE_PEAK_FRACTION));
        for (int q = 0; q < 3; ++q) a = a > abs32(p[q][j]) ? a : abs32(p[q][j]);
        m[j] = a;
    }
}

// Twice the largest magnitude of n samples, in Q14: a bound on every point
// the filter makes of them.
std::int32_t bound(const std::int16_t* w, int n) {
    std::int32_t a = 0;
    for (int i = 0; i < n; ++i) {
        const std::int32_t v = abs32(w[i]);
        a = v > a ? v : a;
    }
    return a * (2 << TRUE_PEAK_FRACTION);
}

} // namespace

std::int32_t true_peak_scan(true_peak_history& h, const std::int16_t* x, std::size_t n, std::int32_t floor,
                            std::int32_t* each) {
    std::int16_t run[HISTORY + CHUNK + BLOCK] = {};
    std::int32_t peak = floor;
    std::memcpy(run, h.x, sizeof h.x);
    for (std::size_t done = 0; done < n;) {
        const std::size_t k = n - done < CHUNK ? n - done : CHUNK;
        std::memcpy(run + HISTORY, x + done, k * sizeof *x);
        for (std::size_t i = 0; i < k; i += BLOCK) {
            const int b = k - i < BLOCK ? static_cast<int>(k - i) : BLOCK;
            std::int32_t m[BLOCK];
            if (bound(run + i, b + HISTORY) <= peak && each == nullptr) continue;
            if (bound(run + i, b + HISTORY) <= floor) {
                for (int j = 0; j < b; ++j) m[j] = 0;
            } else {
                interpolate_block(run + i, m); // past b, it reads what is left of the run: unused
            }
            for (int j = 0; j < b; ++j) {
                if (each) each[done + i + static_cast<std::size_t>(j)] = m[j];
                peak = m[j] > peak ? m[j] : peak;
            }
        }
        for (int j = 0; j < HISTORY; ++j) run[j] = run[k + static_cast<std::size_t>(j)]; // may overlap
        done += k;
    }
    std::memcpy(h.x, run, sizeof h.x);
    return peak;
}

} // namespace agc
