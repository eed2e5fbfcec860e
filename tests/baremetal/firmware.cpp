// The engine on a Cortex-M4, run two ways over in.raw in the emulator's
// working directory, for a host script to compare with the host's bytes:
// the way zek runs it (the lead-in, then the hop loop) into out.raw, and
// through the stream API in static storage, in chunks of an awkward size as
// an audio interrupt would deliver them, into stream.raw (the aligned result:
// the latency's silence dropped). It also prints the RAM each way takes.
#include <bit>
#include <cstdint>

#include "agc/agc.h"
#include "agc/stream.h"
#include "zek/settings.h"
#include "board.h"

static_assert(std::endian::native == std::endian::little, "the file's bytes are read as the samples");

namespace {

agc_state state;
agc_frame frame;

// The stream's storage: agc_stream_size(1) bytes, checked at run time.
alignas(8) unsigned char stream_storage[16384];
constexpr int CHUNK = 37; // frames per call: no divisor of the hop
int16_t chunk_in[CHUNK], chunk_out[480];

// in.raw through the stream API at 48 kHz mono into stream.raw, aligned.
bool run_stream() {
    auto* st = reinterpret_cast<agc_stream*>(stream_storage);
    if (agc_stream_size(1) > sizeof stream_storage || agc_stream_init(st, 48000, 1) != 0) return false;
    board::print("RAM per stream API stream: ");
    board::print(static_cast<unsigned>(agc_stream_size(1)));
    board::print(" bytes\n");
    const int in = board::open("in.raw", board::READ_BINARY);
    const int out = board::open("stream.raw", board::WRITE_BINARY);
    if (in < 0 || out < 0) return false;
    int skip = agc_stream_latency(st); // frames of silence before the recording
    bool ok = skip <= static_cast<int>(sizeof chunk_out / 2);
    auto put = [&](int frames) {
        if (frames < 0) {
            ok = false;
            return;
        }
        const int drop = frames < skip ? frames : skip;
        skip -= drop;
        ok = ok && board::write(out, chunk_out + drop, 2 * (frames - drop));
    };
    for (int got; ok && (got = board::read(in, chunk_in, sizeof chunk_in) / 2) > 0;)
        put(agc_stream_process(st, chunk_in, chunk_out, got));
    if (ok) put(agc_stream_flush(st, chunk_out));
    board::close(in);
    board::close(out);
    return ok;
}

} // namespace

int main() {
    board::print("RAM per stream: agc_state ");
    board::print(static_cast<unsigned>(sizeof state));
    board::print(" bytes + agc_frame ");
    board::print(static_cast<unsigned>(sizeof frame));
    board::print(" bytes\n");

    const int in = board::open("in.raw", board::READ_BINARY);
    const int out = board::open("out.raw", board::WRITE_BINARY);
    if (in < 0 || out < 0) {
        board::print("cannot open in.raw or out.raw\n");
        return 1;
    }
    zek::init_engine(state);

    // The lead-in, whole samples only; an input that ends within it is done.
    constexpr int LEAD_BYTES = 2 * zek::LEAD_IN_SAMPLES, HOP_BYTES = 2 * zek::hop;
    static_assert(LEAD_BYTES <= static_cast<int>(sizeof frame.in));
    const int lead = board::read(in, frame.in, LEAD_BYTES);
    bool ok = board::write(out, frame.in, lead & ~1);
    // Then whole hops; a partial one at the end is dropped.
    if (lead == LEAD_BYTES) {
        while (ok && board::read(in, frame.in, HOP_BYTES) == HOP_BYTES) {
            agc_process(frame, state, zek::mix);
            ok = board::write(out, frame.out, HOP_BYTES);
        }
    }
    board::close(in);
    board::close(out);
    if (!ok) board::print("cannot write out.raw\n");
    if (ok && !run_stream()) {
        board::print("the stream API failed on in.raw\n");
        ok = false;
    }
    return ok ? 0 : 1;
}
