// The limiter in two parts: the second part's limiter starts some way
// before it, within a pause long enough for any limiter to come to rest,
// takes in the frames up to it, and from there on limits on by itself on a
// thread of its own. Where the first part's limiter reaches that frame in
// the same state (it has rested through the pause as well), the second's
// frames are the ones it would have given out; where it does not (a pause
// the limiter did not rest in), the first limits on over the second part
// itself. Either way the bytes are those of one limiter over the whole.
// The meter's parts need no such care: it starts its K-weighting afresh
// every 4 s anyway, and a part's meter joins the one before it exactly.
#include "zek/held_passes.h"

#include <algorithm>
#include <cstring>
#include <pthread.h>
#include <vector>

#include "agc/limiter.h"
#include "zek/limiter_storage.h"

namespace zek {

namespace {

// Frames [from, to) of the recording through l, which has taken in those
// before `from`; what it gives out (its latency earlier) goes to `out` where
// it falls within the recording, and at the end of the recording the
// latency's last frames after them.
void limit_span(agc::limiter& l, const held_view& h, std::size_t from, std::size_t to, std::int16_t* out) {
    constexpr std::size_t STEP = 4096;
    const auto nc = static_cast<std::size_t>(h.channels);
    const auto latency = static_cast<std::size_t>(l.latency);
    std::vector<std::int16_t> buffer(STEP * nc);
    const std::size_t end = to == h.frames ? to + latency : to;
    for (std::size_t at = from; at < end;) {
        const std::size_t n = std::min(STEP, end - at);
        const std::size_t real = at < to ? std::min(n, to - at) : 0;
        if (real > 0) agc::limiter_process(l, h.samples + at * nc, buffer.data(), static_cast<int>(real));
        if (real < n) agc::limiter_process(l, nullptr, buffer.data() + real * nc, static_cast<int>(n - real));
        // Frames at - latency .. at + n - latency of the output.
        const std::size_t skip = at < latency ? std::min(n, latency - at) : 0;
        std::memcpy(out + (at + skip - latency) * nc, buffer.data() + skip * nc, (n - skip) * nc * sizeof(std::int16_t));
        at += n;
    }
}

// Frames the second part's limiter takes in before its part: more than its
// delay line, so that it holds the same frames as the first's.
constexpr std::size_t WARM_FRAMES = 1024;

// The frame where the second part starts: the first near the middle (up to
// three quarters through) after enough quiet frames for any limiter to rest
// and the second's to warm; 0 where there is none.
std::size_t second_part_start(const agc::limiter& l, const held_view& h) {
    const auto nc = static_cast<std::size_t>(h.channels);
    const auto quiet = static_cast<std::int32_t>(agc::limiter_quiet_magnitude(l));
    const auto needed = static_cast<std::size_t>(agc::limiter_rest_frames(l)) + WARM_FRAMES;
    const std::size_t middle = h.frames / 2, last = h.frames / 4 * 3;
    if (quiet < 0 || middle < needed) return 0;
    std::size_t run = 0;
    for (std::size_t f = middle - needed; f < last; ++f) {
        bool calm = true;
        for (std::size_t c = 0; c < nc; ++c) {
            const std::int32_t v = h.samples[f * nc + c];
            calm = calm && v <= quiet && v >= -quiet;
        }
        run = calm ? run + 1 : 0;
        if (run >= needed && f + 1 >= middle) return f + 1; // (a quarter of the recording, and more than the latency, after it)
    }
    return 0;
}

struct second_part {
    const held_view* h = nullptr;
    owned_limiter* limiter = nullptr;  // fresh, and then the second part's
    owned_limiter* at_start = nullptr; // its state where the part starts
    std::size_t start = 0;
    const std::int16_t* warm = nullptr; // the WARM_FRAMES frames before it
    std::int16_t* out = nullptr;
    std::int16_t* first_out = nullptr; // its first latency's output, which falls before its start
    // Where set, it then measures its output from `measure_from` (4 s
    // boundary in its part) on, as a part's meter.
    agc_loudness* meter = nullptr;
    std::size_t measure_from = 0;
};

void* limit_second(void* context) {
    const second_part& p = *static_cast<second_part*>(context);
    agc::limiter& l = *p.limiter->l;
    const auto nc = static_cast<std::size_t>(p.h->channels);
    const auto latency = static_cast<std::size_t>(l.latency);
    agc::limiter_skip_silence(l, static_cast<std::int64_t>(p.start - WARM_FRAMES));
    // The warming's output is the first part's to give: into a scratch copy.
    std::vector<std::int16_t> scratch(WARM_FRAMES * nc);
    agc::limiter_process(l, p.warm, scratch.data(), static_cast<int>(WARM_FRAMES));
    p.at_start->copy_from(*p.limiter);
    agc::limiter_process(l, p.h->samples + p.start * nc, p.first_out, static_cast<int>(latency));
    limit_span(l, *p.h, p.start + latency, p.h->frames, p.out);
    if (p.meter != nullptr) {
        const std::size_t lead = agc_loudness_lead_frames(p.meter);
        agc_loudness_start_part(p.meter, p.out + (p.measure_from - lead) * nc, lead);
        agc_loudness_add_frames(p.meter, p.out + p.measure_from * nc, p.h->frames - p.measure_from);
    }
    return nullptr;
}

struct meter_part {
    agc_loudness* meter = nullptr;
    const std::int16_t* samples = nullptr;
    std::size_t frames = 0;
};

void* measure_part(void* context) {
    const meter_part& p = *static_cast<meter_part*>(context);
    agc_loudness_add_frames(p.meter, p.samples, p.frames);
    return nullptr;
}

} // namespace

bool limit_held(const held_view& h, std::int32_t gain_mdb, std::int32_t ceiling_mdb, std::int16_t* out, int modes,
                agc_loudness** meter) {
    const auto measure_all = [&] {
        if (modes != 0) *meter = measure_held(out, h.frames, h.channels, h.rate, modes);
    };
    if (modes != 0) *meter = nullptr;
    owned_limiter first(h.channels);
    agc::limiter_init(*first.l, h.rate, h.channels, ceiling_mdb);
    agc::limiter_set_gain(*first.l, gain_mdb, 0);
    agc::limiter_skip_silence(*first.l, h.lead);
    const std::size_t start = second_part_start(*first.l, h);
    if (start == 0) {
        limit_span(*first.l, h, 0, h.frames, out);
        measure_all();
        return true;
    }
    // The second part's output from its start on goes straight to `out`,
    // and the latency's before it to first_out until the first part has
    // read its frames there; the frames it warms on are its own copy, as
    // the first part may write over them meanwhile. Each part then measures
    // what it gave out, the second from the first 4 s boundary whose lead
    // lies in its own output.
    const auto nc = static_cast<std::size_t>(h.channels);
    const auto latency = static_cast<std::size_t>(first.l->latency);
    owned_limiter second(h.channels), at_start(h.channels);
    second.copy_from(first);
    const std::vector<std::int16_t> warm(h.samples + (start - WARM_FRAMES) * nc, h.samples + start * nc);
    std::vector<std::int16_t> first_out(latency * nc);
    second_part p{&h, &second, &at_start, start, warm.data(), out, first_out.data()};
    agc_loudness* first_meter = modes != 0 ? agc_loudness_create(h.rate, h.channels, modes, nullptr) : nullptr;
    if (first_meter != nullptr) {
        const std::size_t part = agc_loudness_part_frames(first_meter), lead = agc_loudness_lead_frames(first_meter);
        p.measure_from = (start + lead + part - 1) / part * part;
        if (p.measure_from < h.frames) p.meter = agc_loudness_create(h.rate, h.channels, modes, nullptr);
    }
    pthread_t thread;
    if (pthread_create(&thread, nullptr, limit_second, &p) != 0) {
        limit_span(*first.l, h, 0, h.frames, out);
        agc_loudness_destroy(first_meter);
        agc_loudness_destroy(p.meter);
        measure_all();
        return true;
    }
    limit_span(*first.l, h, 0, start, out);
    if (first_meter != nullptr) agc_loudness_add_frames(first_meter, out, start - latency);
    pthread_join(thread, nullptr);
    const bool met = agc::limiter_same_course(*first.l, *at_start.l);
    if (met) std::memcpy(out + (start - latency) * nc, first_out.data(), latency * nc * sizeof(std::int16_t));
    if (met && first_meter != nullptr) {
        // The first part's meter up to the second's, and the two joined
        // (without a second meter, on to the end).
        const std::size_t until = p.meter != nullptr ? p.measure_from : h.frames;
        agc_loudness_add_frames(first_meter, out + (start - latency) * nc, until - (start - latency));
        if (p.meter != nullptr && agc_loudness_join(first_meter, p.meter) != 0) {
            agc_loudness_add_frames(first_meter, out + until * nc, h.frames - until);
        }
        *meter = first_meter;
        first_meter = nullptr;
    }
    agc_loudness_destroy(first_meter);
    agc_loudness_destroy(p.meter);
    if (met) return true;
    if (out == h.samples) return false; // the second part has written over its frames
    limit_span(*first.l, h, start, h.frames, out);
    measure_all();
    return true;
}

agc_loudness* measure_held(const std::int16_t* samples, std::size_t frames, int channels, int rate, int modes) {
    agc_loudness* m = agc_loudness_create(rate, channels, modes, nullptr);
    if (m == nullptr) return nullptr;
    const std::size_t part = agc_loudness_part_frames(m), lead = agc_loudness_lead_frames(m);
    const std::size_t split = frames / 2 / part * part;
    const auto nc = static_cast<std::size_t>(channels);
    agc_loudness* second = split > 0 ? agc_loudness_create(rate, channels, modes, nullptr) : nullptr;
    pthread_t thread;
    meter_part p{second, samples + split * nc, frames - split};
    if (second == nullptr || agc_loudness_start_part(second, samples + (split - lead) * nc, lead) != 0 ||
        pthread_create(&thread, nullptr, measure_part, &p) != 0) {
        agc_loudness_destroy(second);
        agc_loudness_add_frames(m, samples, frames);
        return m;
    }
    agc_loudness_add_frames(m, samples, split);
    pthread_join(thread, nullptr);
    agc_loudness_join(m, second);
    agc_loudness_destroy(second);
    return m;
}

} // namespace zek
