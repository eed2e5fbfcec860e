#include "zek/held_recording.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>
#include <sys/mman.h>
#include <unistd.h>

#include "agc/k_weighting.h"
#include "agc/true_peak.h"
#include "zek/held_passes.h"

namespace zek {

bool mapped_samples::map(std::size_t n) {
    void* p = n > 0 ? mmap(nullptr, n * sizeof(std::int16_t), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
                    : MAP_FAILED;
    if (p == MAP_FAILED) return false;
    samples = static_cast<std::int16_t*>(p);
    room = n;
    taken = 0;
    return true;
}

void mapped_samples::take_pages(std::size_t n) {
    constexpr std::size_t AHEAD = std::size_t{4} << 20 >> 1; // 4 MiB of samples, a multiple of any page
    if (n <= taken) return;
    const std::size_t to = std::min(room, (n / AHEAD + 1) * AHEAD);
#ifdef MADV_POPULATE_WRITE
    // Where the kernel cannot (before Linux 5.14), the pages come by fault.
    madvise(samples + taken, (to - taken) * sizeof(std::int16_t), MADV_POPULATE_WRITE);
#endif
    taken = to;
}

void mapped_samples::let_go() {
    if (samples != nullptr) munmap(samples, room * sizeof(std::int16_t));
    samples = nullptr;
}

std::size_t room_for_held() {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    const std::size_t memory = pages > 0 && page > 0 ? static_cast<std::size_t>(pages) * static_cast<std::size_t>(page) : 0;
    return std::min(memory / 16, std::size_t{1} << 30) / sizeof(std::int16_t);
}

namespace {

void* follow(void* context) {
    follower& f = *static_cast<follower*>(context);
    const auto nc = static_cast<std::size_t>(f.h->channels);
    std::unique_lock<std::mutex> held(f.lock);
    for (;;) {
        f.changed.wait(held, [&] { return f.ended || f.filled >= f.measured + f.batch; });
        std::size_t to = std::min(f.filled, f.stop);
        if (!f.ended) to = f.measured + (to - f.measured) / f.batch * f.batch;
        if (to <= f.measured) {
            if (f.ended) break;
            continue;
        }
        const std::size_t from = f.measured;
        f.claimed = to;
        held.unlock();
        agc_loudness_add_frames(f.meter, f.h->memory.samples + from * nc, to - from);
        held.lock();
        f.measured = to;
    }
    return nullptr;
}

} // namespace

void stop_following(follower& f) {
    if (!f.running) return;
    {
        const std::lock_guard<std::mutex> held(f.lock);
        f.ended = true;
        f.stop = 0;
    }
    f.changed.notify_all();
    pthread_join(f.thread, nullptr);
    f.running = false;
}

void hold(held_recording& h, follower& f, int rate, const std::int16_t* x, std::size_t frames, int channels) {
    if (!h.whole) return;
    const std::size_t n = frames * static_cast<std::size_t>(channels);
    if (h.memory.samples == nullptr) {
        h.channels = channels;
        if (h.room == 0 || !h.memory.map(h.room)) {
            h.whole = false;
            return;
        }
        f.h = &h;
        f.meter = rate > 0 ? agc_loudness_create(rate, channels, loudness_probe::OUTPUT_MODES, nullptr) : nullptr;
        f.batch = agc::k_batch_frames(rate);
        f.running = f.meter != nullptr && pthread_create(&f.thread, nullptr, follow, &f) == 0;
    }
    if (n > h.memory.room - h.size) {
        stop_following(f);
        h.memory.let_go();
        h.whole = false;
        return;
    }
    h.memory.take_pages(h.size + n);
    std::memcpy(h.memory.samples + h.size, x, n * sizeof(std::int16_t));
    h.size += n;
    if (f.running) {
        {
            const std::lock_guard<std::mutex> held(f.lock);
            f.filled = h.size / static_cast<std::size_t>(channels);
        }
        f.changed.notify_one();
    }
}

namespace {

// Frames [from, to) of the held recording against the floor, each channel
// after the frames before `from` (silence before the first), and with the
// silence after the last where `to` is the end: whether no point comes over.
struct points_look {
    const held_recording* h = nullptr;
    std::size_t from = 0, to = 0;
    std::int32_t floor = 0;
    bool under = true;
};

void look_for_points(points_look& look) {
    const held_recording& h = *look.h;
    const auto nc = static_cast<std::size_t>(h.channels);
    constexpr std::size_t RUN = 1 << 16;
    constexpr std::size_t BEFORE = agc::TRUE_PEAK_TAPS - 1;
    std::vector<std::int16_t> one(nc > 1 ? RUN : 0);
    const std::int16_t silence[agc::TRUE_PEAK_TAPS] = {};
    for (std::size_t c = 0; c < nc && look.under; ++c) {
        agc::true_peak_history history;
        const std::size_t known = std::min(look.from, BEFORE);
        for (std::size_t i = 0; i < known; ++i) history.x[BEFORE - known + i] = h.memory.samples[(look.from - known + i) * nc + c];
        for (std::size_t done = look.from; done < look.to && look.under;) {
            const std::size_t n = std::min(RUN, look.to - done);
            const std::int16_t* x = h.memory.samples + done * nc + c;
            if (nc > 1) {
                for (std::size_t i = 0; i < n; ++i) one[i] = x[i * nc];
                x = one.data();
            }
            look.under = agc::true_peak_scan(history, x, n, look.floor) <= look.floor;
            done += n;
        }
        if (look.under && look.to == h.frames()) { // the points the last samples make with the silence after them
            look.under = agc::true_peak_scan(history, silence, agc::TRUE_PEAK_TAPS, look.floor) <= look.floor;
        }
    }
}

void* look_on_thread(void* look) {
    look_for_points(*static_cast<points_look*>(look));
    return nullptr;
}

} // namespace

bool held_points_under(const held_recording& h, std::int32_t floor) {
    if (floor < 0) return false;
    const std::size_t frames = h.frames();
    points_look first{&h, 0, frames / 2, floor, true}, second{&h, frames / 2, frames, floor, true};
    pthread_t thread;
    const bool threaded = pthread_create(&thread, nullptr, look_on_thread, &second) == 0;
    look_for_points(first);
    if (threaded) {
        pthread_join(thread, nullptr);
    } else if (first.under) {
        look_for_points(second);
    }
    return first.under && second.under;
}

agc_loudness* finish_following(follower& f, const held_recording& h, int rate) {
    if (!f.running) {
        return measure_held(h.memory.samples, h.frames(), h.channels, rate, loudness_probe::OUTPUT_MODES);
    }
    const std::size_t part = agc_loudness_part_frames(f.meter), lead = agc_loudness_lead_frames(f.meter);
    const std::size_t frames = h.frames();
    std::size_t stop = SIZE_MAX;
    {
        const std::lock_guard<std::mutex> held(f.lock);
        f.ended = true;
        const std::size_t middle = f.claimed + (frames - f.claimed) / 2;
        const std::size_t at = (middle + part - 1) / part * part;
        if (at >= lead && at < frames) stop = f.stop = at;
    }
    f.changed.notify_all();
    agc_loudness* rest = stop == SIZE_MAX ? nullptr : agc_loudness_create(rate, h.channels, loudness_probe::OUTPUT_MODES, nullptr);
    const auto nc = static_cast<std::size_t>(h.channels);
    if (rest != nullptr) {
        agc_loudness_start_part(rest, h.memory.samples + (stop - lead) * nc, lead);
        agc_loudness_add_frames(rest, h.memory.samples + stop * nc, frames - stop);
    }
    pthread_join(f.thread, nullptr);
    f.running = false;
    agc_loudness* m = f.meter;
    f.meter = nullptr;
    if (stop != SIZE_MAX && (rest == nullptr || agc_loudness_join(m, rest) != 0)) {
        agc_loudness_add_frames(m, h.memory.samples + stop * nc, frames - stop); // no part's meter: on, where it stopped
    }
    agc_loudness_destroy(rest);
    return m;
}

} // namespace zek
