// The engine on a Cortex-M4, run the way zek runs it: in.raw in the
// emulator's working directory goes through the lead-in and the hop loop into
// out.raw, for a host script to compare with what zek writes on the host.
// It also prints the RAM one stream takes: its state and its hop buffers.
#include <bit>

#include "agc/agc.h"
#include "agc/zek/settings.h"
#include "board.h"

static_assert(std::endian::native == std::endian::little, "the file's bytes are read as the samples");

namespace {

agc_state state;
agc_frame frame;

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
    return ok ? 0 : 1;
}
