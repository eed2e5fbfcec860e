// Micro-benchmarks of the signal path: samples per second for the plain
// reference and for the fast path at each instruction-set level the CPU has.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "agc/hop.h"
#include "agc/limiter.h"
#include "agc/loudness.h"
#include "agc/process_fast.h"
#include "agc/stream.h"
#include "zek/settings.h"

namespace {

constexpr int HOPS = 4096; // ~20 s of audio, cycled through

std::vector<std::int16_t> speechlike() {
    std::mt19937 rng(1);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<std::int16_t> s(static_cast<std::size_t>(HOPS) * zek::hop);
    for (std::size_t k = 0; k < s.size(); ++k) {
        const double envelope = (k / 24000) % 3 == 2 ? 30.0 : 3000.0 * static_cast<double>(1 + (k / 48000) % 4);
        s[k] = static_cast<std::int16_t>(std::max(-32768.0, std::min(32767.0, envelope * noise(rng))));
    }
    return s;
}

agc_state fresh_state() {
    agc_state s{};
    agc_init(s, zek::winsize, zek::flat_curve, zek::comp_curve, zek::peak_limit, zek::attack, zek::release,
             zek::level_limit, zek::level_coef);
    return s;
}

template <typename Process>
void run(benchmark::State& bs, Process process) {
    static const std::vector<std::int16_t> signal = speechlike();
    agc_state state = fresh_state();
    agc_frame frame{};
    std::size_t h = 0;
    for (auto _ : bs) {
        std::copy_n(signal.data() + h * zek::hop, zek::hop, frame.in);
        benchmark::DoNotOptimize(process(frame, state));
        benchmark::DoNotOptimize(frame.out[0]);
        h = (h + 1) % HOPS;
    }
    bs.SetItemsProcessed(static_cast<std::int64_t>(bs.iterations()) * zek::hop);
}

void BM_reference(benchmark::State& bs) {
    run(bs, [](agc_frame& f, agc_state& s) { return agc::process_reference(f.in, f.out, s, zek::mix); });
}
BENCHMARK(BM_reference);

// Registered in main for the instruction-set levels this CPU runs, each as
// BM_fast/<level>; the argument is the simd_level.
void BM_fast(benchmark::State& bs) {
    const auto level = static_cast<agc::simd_level>(bs.range(0));
    bs.SetLabel(agc::simd_level_name(level));
    run(bs, [level](agc_frame& f, agc_state& s) { return agc::process_fast(f.in, f.out, s, zek::mix, level); });
}

void BM_agc_process(benchmark::State& bs) {
    run(bs, [](agc_frame& f, agc_state& s) { return agc_process(f, s, zek::mix); });
}
BENCHMARK(BM_agc_process);

// The once-per-hop scalar part alone: level update and gain law.
void BM_hop_gain(benchmark::State& bs) {
    agc_state state = fresh_state();
    std::int32_t peak = 1000, sum = 100000;
    for (auto _ : bs) {
        benchmark::DoNotOptimize(agc::hop_gain(state, peak, sum, zek::mix));
        peak = (peak * 7 + 13) & 32767;
        sum = peak * 120;
    }
}
BENCHMARK(BM_hop_gain);

// The whole signal through the hop path as zek runs it: hops processed where
// they lie in the input block, written straight into the output block.
void BM_hop_path(benchmark::State& bs) {
    static const std::vector<std::int16_t> signal = speechlike();
    std::vector<std::int16_t> out(signal.size());
    agc_state state = fresh_state();
    for (auto _ : bs) {
        for (std::size_t at = 0; at < signal.size(); at += zek::hop) {
            benchmark::DoNotOptimize(agc::process_hop(signal.data() + at, out.data() + at, state, zek::mix));
        }
        benchmark::ClobberMemory();
    }
    bs.SetItemsProcessed(bs.iterations() * static_cast<std::int64_t>(signal.size()));
}
BENCHMARK(BM_hop_path);

// The same signal through the stream API, mono 48 kHz, in chunks of
// range(0) frames: a real-time callback's 128, an offline reader's 4096.
void BM_stream(benchmark::State& bs) {
    static const std::vector<std::int16_t> signal = speechlike();
    std::vector<std::int16_t> out(signal.size());
    const auto chunk = static_cast<std::size_t>(bs.range(0));
    agc_stream* st = agc_stream_create(48000, 1, nullptr);
    for (auto _ : bs) {
        for (std::size_t at = 0; at < signal.size(); at += chunk) {
            const auto n = static_cast<int>(std::min(chunk, signal.size() - at));
            agc_stream_process(st, signal.data() + at, out.data() + at, n);
        }
        benchmark::ClobberMemory();
    }
    agc_stream_destroy(st);
    bs.SetItemsProcessed(bs.iterations() * static_cast<std::int64_t>(signal.size()));
}
BENCHMARK(BM_stream)->Arg(4096)->Arg(128);

// Stereo: every sample is gathered from and scattered to the interleaved buffers.
void BM_stream_stereo(benchmark::State& bs) {
    static const std::vector<std::int16_t> signal = speechlike();
    std::vector<std::int16_t> out(signal.size());
    const auto chunk = 2 * static_cast<std::size_t>(bs.range(0));
    agc_stream* st = agc_stream_create(48000, 2, nullptr);
    for (auto _ : bs) {
        for (std::size_t at = 0; at + 1 < signal.size(); at += chunk) {
            const auto n = static_cast<int>(std::min(chunk, signal.size() - at) / 2);
            agc_stream_process(st, signal.data() + at, out.data() + at, n);
        }
        benchmark::ClobberMemory();
    }
    agc_stream_destroy(st);
    bs.SetItemsProcessed(bs.iterations() * static_cast<std::int64_t>(signal.size()));
}
BENCHMARK(BM_stream_stereo)->Arg(4096);

// The modes against each other on the same speech-like signal at 48 kHz in
// 4096-frame chunks: range(0) channels (the signal on each, shifted), range(1)
// a mode: 0 default, 1 speech-aware, 2 linked, 3 both.
void BM_stream_mode(benchmark::State& bs) {
    static const std::vector<std::int16_t> signal = speechlike();
    const auto channels = static_cast<std::size_t>(bs.range(0));
    const int mode = static_cast<int>(bs.range(1));
    const std::size_t frames = signal.size();
    std::vector<std::int16_t> in(frames * channels), out(frames * channels);
    for (std::size_t f = 0; f < frames; ++f) {
        for (std::size_t c = 0; c < channels; ++c) in[f * channels + c] = signal[(f + 4801 * c) % frames];
    }
    agc_stream_options o;
    agc_stream_options_init(&o);
    o.speech = mode & 1;
    o.link = (mode >> 1) & 1;
    agc_stream* st = agc_stream_create_with(48000, static_cast<int>(channels), &o, nullptr);
    constexpr std::size_t chunk = 4096;
    for (auto _ : bs) {
        for (std::size_t at = 0; at < frames; at += chunk) {
            const auto n = static_cast<int>(std::min(chunk, frames - at));
            agc_stream_process(st, in.data() + at * channels, out.data() + at * channels, n);
        }
        benchmark::ClobberMemory();
    }
    agc_stream_destroy(st);
    static const char* names[] = {"default", "speech", "link", "speech+link"};
    bs.SetLabel(names[mode]);
    bs.SetItemsProcessed(bs.iterations() * static_cast<std::int64_t>(frames * channels));
}
BENCHMARK(BM_stream_mode)->Args({1, 0})->Args({1, 1})->Args({2, 0})->Args({2, 1})->Args({2, 2})->Args({2, 3});

// The true-peak limiter after the levelling, at -1 dBTP on the speech-like
// signal under range(0) thousandths of a dB of gain: far under the ceiling
// (where no block comes near it), under it with blocks that must be looked
// at, and held down on most loud frames.
void BM_limiter(benchmark::State& bs) {
    static const std::vector<std::int16_t> signal = speechlike();
    std::vector<unsigned char> memory(agc::limiter_size(1) + 64);
    auto* l = reinterpret_cast<agc::limiter*>((reinterpret_cast<std::uintptr_t>(memory.data()) + 63) & ~std::uintptr_t{63});
    agc::limiter_init(*l, 48000, 1, -1000);
    agc::limiter_set_gain(*l, static_cast<std::int32_t>(bs.range(0)), 0);
    std::vector<std::int16_t> out(signal.size());
    constexpr std::size_t chunk = 4096;
    for (auto _ : bs) {
        for (std::size_t at = 0; at < signal.size(); at += chunk) {
            const auto n = static_cast<int>(std::min(chunk, signal.size() - at));
            agc::limiter_process(*l, signal.data() + at, out.data() + at, n);
        }
        benchmark::ClobberMemory();
    }
    bs.SetItemsProcessed(bs.iterations() * static_cast<std::int64_t>(signal.size()));
}
BENCHMARK(BM_limiter)->Arg(-12000)->Arg(-4000)->Arg(-1000)->Arg(0)->Arg(3000);

// The loudness meter on the speech-like signal at 48 kHz (20 s): range(0)
// its modes (integrated loudness and sample peak, as the target's measuring
// pass asks; then with true peak and loudness range), range(1) the frames
// of each call (0: all in one, where a batch of 16 s is filtered in lanes).
void BM_meter(benchmark::State& bs) {
    static const std::vector<std::int16_t> signal = speechlike();
    const std::size_t chunk = bs.range(1) > 0 ? static_cast<std::size_t>(bs.range(1)) : signal.size();
    for (auto _ : bs) {
        agc_loudness* m = agc_loudness_create(48000, 1, static_cast<int>(bs.range(0)), nullptr);
        for (std::size_t at = 0; at < signal.size(); at += chunk) {
            agc_loudness_add_frames(m, signal.data() + at, std::min(chunk, signal.size() - at));
        }
        std::int32_t lufs = 0;
        agc_loudness_integrated(m, &lufs);
        benchmark::DoNotOptimize(lufs);
        agc_loudness_destroy(m);
    }
    bs.SetItemsProcessed(bs.iterations() * static_cast<std::int64_t>(signal.size()));
}
BENCHMARK(BM_meter)
    ->Args({AGC_LOUDNESS_MODE_I | AGC_LOUDNESS_MODE_SAMPLE_PEAK, 4096})
    ->Args({AGC_LOUDNESS_MODE_I | AGC_LOUDNESS_MODE_SAMPLE_PEAK, 0})
    ->Args({AGC_LOUDNESS_MODE_I | AGC_LOUDNESS_MODE_TRUE_PEAK, 4096})
    ->Args({AGC_LOUDNESS_MODE_I | AGC_LOUDNESS_MODE_LRA | AGC_LOUDNESS_MODE_TRUE_PEAK | AGC_LOUDNESS_MODE_SAMPLE_PEAK, 4096})
    ->Args({AGC_LOUDNESS_MODE_I | AGC_LOUDNESS_MODE_LRA | AGC_LOUDNESS_MODE_TRUE_PEAK | AGC_LOUDNESS_MODE_SAMPLE_PEAK, 0});

// The fast path at every level this CPU has. A level it lacks is left out,
// not run as an error: which ones were is said on standard error, so that a
// table from another machine can be read for what it does not hold.
void register_fast_paths() {
    std::string left_out;
    for (const agc::simd_level level : agc::all_simd_levels) {
        if (level == agc::simd_level::simd128) continue; // WebAssembly's: bench/wasm_bench.mjs times it
        const auto arg = static_cast<std::int64_t>(level);
        if (agc::simd_level_runs(level)) {
            benchmark::RegisterBenchmark("BM_fast", BM_fast)->Arg(arg);
        } else {
            left_out += (left_out.empty() ? "" : ", ") + std::string("BM_fast/") + std::to_string(arg) + " (" +
                        agc::simd_level_name(level) + ")";
        }
    }
    if (!left_out.empty()) std::fprintf(stderr, "engine_bench: left out, this CPU lacks them: %s\n", left_out.c_str());
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    register_fast_paths();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
