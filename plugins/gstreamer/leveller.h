// zek's levelling for a GStreamer element, with nothing of GStreamer in it:
// 16-bit interleaved frames in, the same frames levelled out, aligned (the
// stream's latency held back at the start of a run and given at its end, as
// zek aligns files), with settings that change while audio runs.
//
// The compression weight changes live: the stream reads each hop's weight
// from a cell the leveller owns, and the gain law's own smoothing carries
// the change, exactly as a weight file changing at that hop does. Speech-
// aware and link change what the stream is, and take a new one: it is
// brought up on the last seconds of input kept for the purpose (so that it
// does not start from the unlevelled lead-in and a fresh gain), then the
// output crossfades from the old stream to the new.
#ifndef ZEK_GST_LEVELLER_H
#define ZEK_GST_LEVELLER_H

#include <agc/stream.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

namespace zek_gst {

struct settings {
    bool speech = false;
    int comp = AGC_COMP_DEFAULT; // Q15
    bool link = false;
    // Loudness target and true-peak ceiling: when the stream API takes them,
    // they join here, and leveller::start hands them on to the stream's
    // options. A change to either starts a new stream as speech and link do
    // (needs_new_stream), unless the stream can take it live, as it takes comp.
};

struct free_stream {
    void operator()(agc_stream* st) const { std::free(st); }
};

class leveller {
public:
    // Frames levelled at a time: the size of the scratch buffers.
    static constexpr std::size_t CHUNK = 1024;
    // The crossfade from an old stream to a new one, in the engine's 10 ms
    // windows: 20 ms, long enough to be no click, short enough to be no fade.
    static constexpr int FADE_WINDOWS = 2;

    // Sets up for a format, dropping any run; false when memory is short.
    bool configure(int rate, int channels);
    int rate() const { return rate_; }
    int channels() const { return channels_; }
    int latency() const { return latency_; } // frames, 0 before configure

    // A run is under way: frames went in since the last drain or discard.
    bool running() const { return running_; }
    // The frames level() gives for `frames` more frames in.
    std::size_t due(std::size_t frames) const;
    // Levels `frames` frames of `in` with these settings and writes those due
    // to `out`; returns their count (due(frames)).
    std::size_t level(const std::int16_t* in, std::int16_t* out, std::size_t frames, const settings& now);
    // Ends the run: writes the frames still held (at most latency()) to
    // `out` and returns their count.
    std::size_t drain(std::int16_t* out);
    // Ends the run, dropping what it holds (a flush).
    void discard() { running_ = false; }

private:
    agc_stream* stream(int k) { return streams_[k].get(); }
    void start(int k, const settings& s);
    void begin_switch(const settings& s);
    void warm_up(int k);
    void remember(const std::int16_t* in, std::size_t frames);
    void crossfade(std::int16_t* out, const std::int16_t* to, std::size_t frames);
    std::size_t emit(const std::int16_t* frames, std::size_t n, std::int16_t* out);

    int rate_ = 0, channels_ = 0, latency_ = 0, window_ = 0;
    std::unique_ptr<agc_stream, free_stream> streams_[2];
    settings made_[2]; // the settings each stream was made with
    int current_ = 0;
    bool switching_ = false; // streams_[1 - current_] is fading in
    std::size_t faded_ = 0;  // frames of the crossfade done
    std::int16_t comp_cell_ = AGC_COMP_DEFAULT;
    bool running_ = false;
    std::uint64_t taken_ = 0;   // frames in since the run started
    std::uint64_t to_drop_ = 0; // frames out still to hold back: the opening latency
    std::vector<std::int16_t> history_; // the last history_frames_ frames in, a ring
    std::size_t history_frames_ = 0;
    std::vector<std::int16_t> scratch_[2];
};

} // namespace zek_gst

#endif
