/* A C99 program that embeds the installed stream API, in storage of its own
 * and allocated, and checks figures that only a correctly built and linked
 * engine gives: a latency of one window, the lead-in unchanged after it, and
 * silent hops raising the gain from 264 by 8 per hop. */
#include <agc/stream.h>

#include <stdio.h>
#include <stdlib.h>

#define FRAMES 1000

static int check(int ok, const char *what)
{
    if (!ok) printf("failed: %s\n", what);
    return ok;
}

int main(void)
{
    static int16_t in[2 * FRAMES], out[2 * FRAMES];
    int error = 0, ok = 1, k;
    void *storage = malloc(agc_stream_size(2));
    agc_stream *own = (agc_stream *)storage;
    agc_stream *made = agc_stream_create(48000, 1, &error);

    for (k = 0; k < 512; ++k) in[2 * k] = in[2 * k + 1] = (int16_t)(k - 256); /* lead-in, then silence */
    ok &= check(made != NULL && error == 0, "agc_stream_create");
    ok &= check(storage != NULL && agc_stream_init(own, 48000, 2) == 0, "agc_stream_init");
    if (!ok) return 1;
    ok &= check(agc_stream_latency(own) == 480, "latency 480 at 48 kHz");
    ok &= check(agc_stream_process(own, in, out, FRAMES) == FRAMES, "process");
    for (k = 0; k < FRAMES; ++k) {
        int want = k < 480 ? 0 : in[2 * (k - 480)];
        ok &= check(out[2 * k] == want && out[2 * k + 1] == want, "silence, then the lead-in unchanged");
        if (!ok) break;
    }
    /* (1000 - 512) / 240 = 2 hops of silence: gains 264, then 272. */
    ok &= check(agc_stream_gain(own, 0) == 272 && agc_stream_gain(own, 1) == 272, "gain 272 after two silent hops");
    ok &= check(agc_stream_flush(own, out) == 480, "flush");
    ok &= check(agc_stream_process(own, in, out, 1) == AGC_ERR_FLUSHED, "process after flush");
    ok &= check(agc_stream_create(7999, 1, &error) == NULL && error == AGC_ERR_RATE, "7999 Hz refused");
    printf("%s: %s\n", ok ? "ok" : "FAILED", agc_strerror(error));
    agc_stream_destroy(made);
    free(storage);
    return ok ? 0 : 1;
}
