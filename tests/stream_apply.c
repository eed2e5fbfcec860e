/* Levels raw 16-bit samples through the C stream API and writes the aligned
 * result: the reference the Python package is checked against, and the
 * baseline its speed is measured against.
 *
 * Usage: stream_apply [--speech | --speech-live] [--link] [--comp Q15] RATE CHANNELS CHUNK [RUNS] < in.raw > out.raw
 *
 * The options set the stream's options record: speech-aware (offline, as
 * zek levels files, or with the live look-ahead), linked channels, a
 * compression weight from 0 to 32767.
 *
 * Reads interleaved little-endian frames from standard input (as raw files
 * hold them, whatever the CPU), feeds them to a stream in calls of CHUNK
 * frames, flushes it, and writes all but the first latency frames, also
 * little-endian: the recording levelled in place, its length kept.
 *
 * With RUNS, also times RUNS levellings of the recording, each by a new
 * stream, two ways, and prints the median nanoseconds of each on standard
 * error: into one output buffer, already written (the stream API alone), then
 * into a buffer allocated and freed for each (as a function that returns a
 * levelled copy of a recording does). */
#define _POSIX_C_SOURCE 199309L
#include <agc/stream.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static long arg(const char *text, long lo, long hi, const char *what)
{
    char *end;
    long v = strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || v < lo || v > hi) {
        fprintf(stderr, "stream_apply: bad %s '%s'\n", what, text);
        exit(2);
    }
    return v;
}

/* The whole of standard input; *bytes set to its size. */
static unsigned char *read_all(size_t *bytes)
{
    size_t cap = 1 << 20, n = 0, got;
    unsigned char *buf = malloc(cap);
    while (buf != NULL && (got = fread(buf + n, 1, cap - n, stdin)) > 0) {
        n += got;
        if (n == cap) {
            unsigned char *more = realloc(buf, cap *= 2);
            if (more == NULL) free(buf);
            buf = more;
        }
    }
    if (buf == NULL || ferror(stdin)) {
        fprintf(stderr, "stream_apply: cannot read standard input\n");
        exit(1);
    }
    *bytes = n;
    return buf;
}

/* Little-endian bytes to samples of this CPU and back: the same swap. */
static void to_from_little_endian(int16_t *s, size_t count)
{
    const uint16_t one = 1;
    size_t k;
    if (*(const unsigned char *)&one == 1) return;
    for (k = 0; k < count; ++k) {
        uint16_t u = (uint16_t)s[k];
        s[k] = (int16_t)(uint16_t)((u >> 8) | (u << 8));
    }
}

struct job {
    const int16_t *in;
    long frames, chunk;
    int rate, channels, latency;
    agc_stream_options options;
};

/* out: frames + latency frames; the aligned result starts latency frames in. */
static int level(const struct job *j, int16_t *out)
{
    int error;
    long at;
    agc_stream *st = agc_stream_create_with(j->rate, j->channels, &j->options, &error);
    for (at = 0; st != NULL && at < j->frames; at += j->chunk) {
        int n = (int)(j->frames - at < j->chunk ? j->frames - at : j->chunk);
        error = agc_stream_process(st, j->in + at * j->channels, out + at * j->channels, n);
        if (error < 0) break;
    }
    if (error >= 0) error = agc_stream_flush(st, out + j->frames * j->channels);
    agc_stream_destroy(st);
    if (error < 0) fprintf(stderr, "stream_apply: %s\n", agc_strerror(error));
    return error < 0;
}

static int by_value(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return (x > y) - (x < y);
}

/* Median nanoseconds of `runs` levellings into out, or, with out NULL, into
 * a buffer allocated and freed each time; a negative number on failure. */
static double median_ns(const struct job *j, int16_t *out, long runs)
{
    double *ns = malloc(sizeof *ns * (size_t)runs), median = -1;
    long k;
    for (k = 0; ns != NULL && k < runs; ++k) {
        struct timespec t0, t1;
        int16_t *buf;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        buf = out != NULL ? out : malloc((size_t)(j->frames + j->latency) * (size_t)j->channels * 2);
        if (buf == NULL || level(j, buf)) break;
        if (out == NULL) free(buf);
        clock_gettime(CLOCK_MONOTONIC, &t1);
        ns[k] = (double)(t1.tv_sec - t0.tv_sec) * 1e9 + (double)(t1.tv_nsec - t0.tv_nsec);
    }
    if (ns != NULL && k == runs) {
        qsort(ns, (size_t)runs, sizeof *ns, by_value);
        median = ns[runs / 2];
    }
    free(ns);
    return median;
}

int main(int argc, char **argv)
{
    struct job j;
    long runs;
    size_t bytes;
    int16_t *in, *out;

    agc_stream_options_init(&j.options);
    for (; argc > 1 && strncmp(argv[1], "--", 2) == 0; --argc, ++argv) {
        if (strcmp(argv[1], "--speech") == 0) {
            j.options.speech = 1;
            j.options.offline = 1;
        } else if (strcmp(argv[1], "--speech-live") == 0) {
            j.options.speech = 1;
        } else if (strcmp(argv[1], "--link") == 0) {
            j.options.link = 1;
        } else if (strcmp(argv[1], "--comp") == 0 && argc > 2) {
            j.options.comp = (int)arg(argv[2], 0, 32767, "compression weight");
            --argc, ++argv;
        } else {
            argc = 0; /* the usage below */
        }
    }
    if (argc != 4 && argc != 5) {
        fprintf(stderr, "usage: stream_apply [--speech | --speech-live] [--link] [--comp Q15] RATE CHANNELS CHUNK [RUNS] < in.raw > out.raw\n");
        return 2;
    }
    j.rate = (int)arg(argv[1], AGC_MIN_RATE, AGC_MAX_RATE, "rate");
    j.channels = (int)arg(argv[2], 1, AGC_MAX_CHANNELS, "channel count");
    j.chunk = arg(argv[3], 1, 1L << 30, "chunk");
    runs = argc == 5 ? arg(argv[4], 1, 1000, "run count") : 0;
    j.in = in = (int16_t *)read_all(&bytes);
    j.frames = (long)(bytes / (2 * (size_t)j.channels));
    to_from_little_endian(in, (size_t)j.frames * (size_t)j.channels);
    {
        agc_stream *probe = agc_stream_create_with(j.rate, j.channels, &j.options, NULL);
        j.latency = agc_stream_latency(probe);
        agc_stream_destroy(probe);
    }
    out = j.latency < 0 ? NULL : calloc((size_t)(j.frames + j.latency) * (size_t)j.channels, 2);
    if (out == NULL) {
        fprintf(stderr, "stream_apply: out of memory\n");
        return 1;
    }
    if (level(&j, out)) return 1;
    if (runs > 0) {
        double reused = median_ns(&j, out, runs), fresh = median_ns(&j, NULL, runs);
        if (reused < 0 || fresh < 0) {
            fprintf(stderr, "stream_apply: the timed runs failed\n");
            return 1;
        }
        fprintf(stderr, "%.0f %.0f\n", reused, fresh);
    }
    to_from_little_endian(out + (long)j.latency * j.channels, (size_t)j.frames * (size_t)j.channels);
    if (fwrite(out + (long)j.latency * j.channels, 2 * (size_t)j.channels, (size_t)j.frames, stdout) !=
            (size_t)j.frames ||
        fflush(stdout) != 0) {
        fprintf(stderr, "stream_apply: cannot write standard output\n");
        return 1;
    }
    free(in);
    free(out);
    return 0;
}
