// Embeds the installed engine the way zek runs it and checks two figures that
// only a correctly built and linked engine gives: the first hop comes out as
// silence, and silent hops raise the gain from 264 by 8 per hop.
#include <agc/agc.h>
#include <agc/zek/settings.h>

#include <cstdio>

int main() {
    static agc_state state;
    static agc_frame frame;
    zek::init_engine(state);
    int first = 0, second = 0;
    for (int h = 0; h < 2; ++h) {
        for (int j = 0; j < zek::hop; ++j) frame.in[j] = 0;
        const int gain = agc_process(frame, state, zek::mix);
        (h == 0 ? first : second) = gain;
        for (int j = 0; j < zek::hop; ++j) {
            if (frame.out[j] != 0) {
                std::printf("output sample %d of hop %d is %d, not 0\n", j, h, frame.out[j]);
                return 1;
            }
        }
    }
    std::printf("gains %d %d\n", first, second);
    return first == 264 && second == 272 ? 0 : 1;
}
