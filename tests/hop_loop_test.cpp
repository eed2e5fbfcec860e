// The whole tool on real files: output length, lead-in, the silent first hop,
// the one-hop lag, and the same bytes through pipes.
#include <gtest/gtest.h>

#include <cmath>
#include <poll.h>
#include <unistd.h>

#include "engine_fixture.h"
#include "tool_harness.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t LEAD = 512, HOP = 240;

// Speech-like test signal: a tone whose loudness swells over a wide range.
std::vector<std::int16_t> swell(std::size_t n) {
    std::vector<std::int16_t> s(n);
    for (std::size_t k = 0; k < n; ++k) {
        const double env = 200.0 + 15000.0 * (0.5 + 0.5 * std::sin(static_cast<double>(k) / 2500.0));
        s[k] = static_cast<std::int16_t>(std::lround(env * std::sin(static_cast<double>(k) * 0.071)));
    }
    return s;
}

class HopLoop : public harness::temp_dir_test {
protected:
    std::vector<std::int16_t> process(const std::vector<std::int16_t>& in, const std::string& extra = "") {
        harness::write_file(dir / "in.raw", harness::to_bytes(in) + extra);
        const auto r = harness::zek({"in.raw", "out.raw"}, dir);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "");
        return harness::to_samples(harness::read_file(dir / "out.raw"));
    }
};

TEST_F(HopLoop, OutputLengthFollowsLeadInAndWholeHops) {
    struct {
        std::size_t in_samples, out_samples;
        const char* why;
    } const cases[] = {
        {600, 512, "88 samples do not make a hop"},
        {751, 512, "one sample short of a hop"},
        {752, 752, "one hop: it comes out as silence"},
        {992, 992, "two hops: the second is held back"},
        {512 + 240 * 37 + 239, 512 + 240 * 37, "a partial hop at the end is dropped"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(process(swell(c.in_samples)).size(), c.out_samples) << c.why;
        EXPECT_EQ(process(swell(c.in_samples), "z").size(), c.out_samples) << c.why << ", odd byte";
    }
}

// Lead-in unchanged, the first processed hop silent, and from then on each
// output hop is the input hop before it under the gains the engine chose.
TEST_F(HopLoop, LeadInSilentHopAndOneHopLag) {
    const std::size_t hops = 5000; // 2.4 MB: crosses the boundaries of the tool's ~1 MB blocks
    const auto in = swell(LEAD + hops * HOP + 100);
    const auto out = process(in);
    ASSERT_EQ(out.size(), LEAD + hops * HOP);
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + LEAD, out.begin()));
    EXPECT_TRUE(std::all_of(out.begin() + LEAD, out.begin() + LEAD + HOP, [](auto v) { return v == 0; }));

    // The engine in process, on the same hops, is the reference for the gains.
    agc_state s = builtin_state();
    agc_frame f{};
    std::vector<std::int16_t> gains;
    for (std::size_t h = 0; h < hops; ++h) {
        std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(LEAD + h * HOP), HOP, f.in);
        gains.push_back(agc_process(f, s, zek::mix));
        ASSERT_TRUE(std::equal(f.out, f.out + HOP, out.begin() + static_cast<std::ptrdiff_t>(LEAD + h * HOP)))
            << "hop " << h;
    }
    for (std::size_t m = 0; m + HOP < hops * HOP; ++m) {
        const std::size_t h = m / HOP + 1, j = m % HOP;
        const double gain = (gains[h - 1] * double(s.window[HOP - 1 - j]) + gains[h] * double(s.window[j])) / (1 << 23);
        ASSERT_NEAR(out[LEAD + HOP + m], in[LEAD + m] * gain, (gains[h - 1] + gains[h]) / 256.0 + 2.0) << m;
    }
}

TEST_F(HopLoop, SilenceAfterLoudLeadInStaysSilent) {
    std::vector<std::int16_t> in(LEAD + 100 * HOP, 0);
    for (std::size_t k = 0; k < LEAD; ++k) in[k] = static_cast<std::int16_t>(k % 2 ? 32767 : -32768);
    const auto out = process(in);
    EXPECT_TRUE(std::equal(in.begin(), in.end() - HOP, out.begin()));
}

// A pipeline gives the same bytes as files.
TEST_F(HopLoop, PipeMatchesFile) {
    const auto in = swell(LEAD + 500 * HOP + 7);
    const auto from_file = process(in);
    const auto r = harness::zek({"/dev/stdin", "/dev/stdout"}, dir, harness::to_bytes(in));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, harness::to_bytes(from_file));
}

} // namespace

namespace {

// A live stream must not wait for a full block: with the input pipe left
// open after the lead-in and three hops, the lead-in and the hops computed so
// far reach the output at once. (The guard only stops a hang.)
TEST(LivePipe, OutputIsNotHeldBack) {
    const harness::child c = harness::zek_spawn({"/dev/stdin", "/dev/stdout"});
    const std::string input = harness::to_bytes(swell(LEAD + 3 * HOP));
    ASSERT_EQ(write(c.in, input.data(), input.size()), static_cast<ssize_t>(input.size()));

    const std::size_t want = 2 * (LEAD + 2 * HOP);
    std::string got;
    pollfd p{c.out, POLLIN, 0};
    while (got.size() < want && poll(&p, 1, 20000) > 0) {
        char buf[4096];
        const ssize_t n = read(c.out, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_GE(got.size(), want) << "output held back while the input pipe is open";
    EXPECT_EQ(got.substr(0, 2 * LEAD), input.substr(0, 2 * LEAD));

    close(c.in);
    close(c.out);
    close(c.err);
    EXPECT_EQ(harness::wait_status(c.pid), 0);
}

} // namespace
