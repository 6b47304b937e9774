#include "tonemill-tables.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <math.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "test_support.h"

using namespace quelmo_test;

namespace {

/* The digits and tones of the two tables as the driver knows them, written out here
 * again so that the output is checked against them and not against the program's own
 * tables. Labels are the ones a C name can carry. */
struct ExpectedDigit {
    char label;
    int low;
    int high;
};

const std::vector<ExpectedDigit> kDtmf = {
    {'0', 941, 1336}, {'1', 697, 1209}, {'2', 697, 1336}, {'3', 697, 1477},
    {'4', 770, 1209}, {'5', 770, 1336}, {'6', 770, 1477}, {'7', 852, 1209},
    {'8', 852, 1336}, {'9', 852, 1477}, {'s', 941, 1209}, {'p', 941, 1477},
    {'A', 697, 1633}, {'B', 770, 1633}, {'C', 852, 1633}, {'D', 941, 1633},
};

const std::vector<ExpectedDigit> kMf = {
    {'0', 1300, 1500}, {'1', 700, 900},   {'2', 700, 1100},  {'3', 900, 1100},
    {'4', 700, 1300},  {'5', 900, 1300},  {'6', 1100, 1300}, {'7', 700, 1500},
    {'8', 900, 1500},  {'9', 1100, 1500}, {'s', 1100, 1700}, {'p', 1500, 1700},
    {'A', 900, 1700},  {'B', 1300, 1700}, {'C', 700, 1700},
};

/* The six integers of one row: factor, y[-2], y[-1] of the low tone, then of the high. */
typedef std::vector<int> RowValues;

std::string format_row(const char *prefix, char label, const RowValues &v) {
    char line[256];
    snprintf(line, sizeof(line),
             "\t /* %s_%c */ { %d, %d, %d, %d, %d, %d, DEFAULT_DTMF_LENGTH, &%s_silence }, \n",
             prefix, label, v[0], v[1], v[2], v[3], v[4], v[5], prefix);
    return line;
}

RowValues parse_row(const std::string &line) {
    RowValues v(6, 0);
    int fields = sscanf(line.c_str(), "\t /* %*s */ { %d, %d, %d, %d, %d, %d,", &v[0], &v[1],
                        &v[2], &v[3], &v[4], &v[5]);
    EXPECT_EQ(6, fields) << line;
    return v;
}

/* Runs tonemill once and splits its rows out of the header, checking on the way that
 * every other byte is where it belongs: the whole text is rebuilt from the fixed lines
 * and the parsed numbers, with this table's labels and prefix, and must come out equal. */
class Tonemill : public ::testing::Test {
   protected:
    void SetUp() override {
        ProgramResult run = run_program({TONEMILL_PROGRAM});
        ASSERT_EQ(0, run.status);
        ASSERT_EQ("", run.err);
        header = run.out;
        std::vector<std::string> lines = split_lines(header);
        ASSERT_EQ(40u, lines.size()) << header;
        for (size_t i = 0; i < kDtmf.size(); i++) dtmf.push_back(parse_row(lines[3 + i]));
        for (size_t i = 0; i < kMf.size(); i++) mf.push_back(parse_row(lines[22 + i]));
    }

    std::string rebuild_header() const {
        std::string text =
            "/* DTMF and MF tones used by the Tormenta Driver, in static tables.\n"
            "   Generated automatically from tonemill.  Do not edit by hand.  */\n"
            "static struct zt_tone dtmf_tones[16] = {\n";
        for (size_t i = 0; i < kDtmf.size(); i++) text += format_row("dtmf", kDtmf[i].label, dtmf[i]);
        text += "};\n\nstatic struct zt_tone mfv1_tones[15] = {\n";
        for (size_t i = 0; i < kMf.size(); i++) text += format_row("mfv1", kMf[i].label, mf[i]);
        text += "};\n\n/* END tones.h */\n";
        return text;
    }

    const RowValues &row(const std::string &name) const {
        const std::vector<ExpectedDigit> &digits = name.compare(0, 4, "dtmf") == 0 ? kDtmf : kMf;
        const std::vector<RowValues> &rows = &digits == &kDtmf ? dtmf : mf;
        for (size_t i = 0; i < digits.size(); i++)
            if (digits[i].label == name[5]) return rows[i];
        throw std::runtime_error("no row " + name);
    }

    std::string header;
    std::vector<RowValues> dtmf;
    std::vector<RowValues> mf;
};

TEST_F(Tonemill, HeaderIsLaidOutByteForByte) {
    EXPECT_EQ(rebuild_header(), header);
}

TEST_F(Tonemill, OutputIsTheSameOnEveryRun) {
    EXPECT_EQ(header, run_program({TONEMILL_PROGRAM}).out);
}

TEST_F(Tonemill, WorkedRows) {
    const std::map<std::string, RowValues> worked = {
        {"dtmf_0", {48437, -7187, -4862, 32649, -6236, -6258}},
        {"dtmf_s", {48437, -7187, -4862, 38145, -6833, -5869}},
        {"dtmf_D", {48437, -7187, -4862, 18629, -3934, -6920}},
        {"mfv1_1", {55878, -6431, -3771, 49833, -7129, -4688}},
        {"mfv1_p", {25079, -5104, -6669, 15299, -3277, -7019}},
    };
    for (const auto &w : worked) EXPECT_EQ(w.second, row(w.first)) << w.first;
}

/* A frequency gives the same three integers wherever it appears, in either table. */
TEST_F(Tonemill, SharedFrequencyGivesSameIntegers) {
    std::map<int, std::vector<int>> seen;
    auto check = [&](int freq, const RowValues &v, size_t at, const std::string &where) {
        std::vector<int> three(v.begin() + at, v.begin() + at + 3);
        auto found = seen.emplace(freq, three);
        EXPECT_EQ(found.first->second, three) << freq << " Hz in " << where;
    };
    for (size_t i = 0; i < kDtmf.size(); i++) {
        check(kDtmf[i].low, dtmf[i], 0, std::string("dtmf_") + kDtmf[i].label);
        check(kDtmf[i].high, dtmf[i], 3, std::string("dtmf_") + kDtmf[i].label);
    }
    for (size_t i = 0; i < kMf.size(); i++) {
        check(kMf[i].low, mf[i], 0, std::string("mfv1_") + kMf[i].label);
        check(kMf[i].high, mf[i], 3, std::string("mfv1_") + kMf[i].label);
    }
    EXPECT_EQ((std::vector<int>{48437, -7187, -4862}), seen[941]);
}

/* What the driver does with a row: it runs y[n] = (factor / 32768) y[n-1] - y[n-2] from
 * the two start values, and must get a sine of the digit's frequency at -10 dB (peak
 * 7218.55). This catches a wrong frequency, level, sign or order in any row, within the
 * error that truncating the three integers allows. */
void expect_row_drives_tone(const RowValues &v, size_t at, int freq, const std::string &where) {
    const double amplitude = 7218.54931640625;
    const double omega = 2 * M_PI * freq / 8000.0;
    EXPECT_NEAR(65536 * cos(omega), v[at], 1.0) << where << " factor";
    double before = v[at + 1], last = v[at + 2];
    EXPECT_NEAR(amplitude * sin(-2 * omega), before, 1.0) << where;
    EXPECT_NEAR(amplitude * sin(-omega), last, 1.0) << where;
    for (int n = 0; n < 16; n++) {
        double next = v[at] / 32768.0 * last - before;
        EXPECT_NEAR(amplitude * sin(n * omega), next, 12.0) << where << " sample " << n;
        before = last;
        last = next;
    }
}

TEST_F(Tonemill, EveryRowDrivesItsDigitsTones) {
    for (size_t i = 0; i < kDtmf.size(); i++) {
        expect_row_drives_tone(dtmf[i], 0, kDtmf[i].low, std::string("dtmf_") + kDtmf[i].label);
        expect_row_drives_tone(dtmf[i], 3, kDtmf[i].high, std::string("dtmf_") + kDtmf[i].label);
    }
    for (size_t i = 0; i < kMf.size(); i++) {
        expect_row_drives_tone(mf[i], 0, kMf[i].low, std::string("mfv1_") + kMf[i].label);
        expect_row_drives_tone(mf[i], 3, kMf[i].high, std::string("mfv1_") + kMf[i].label);
    }
}

TEST(TonemillOutput, FailedWriteEndsWithStatusOne) {
    ProgramResult run = run_program({TONEMILL_PROGRAM}, {}, "/dev/full");
    EXPECT_EQ(1, run.status);
    EXPECT_EQ(std::string("tonemill: cannot write the tone header: ") + strerror(ENOSPC) + "\n",
              run.err);
}

TEST(TonemillTables, ExpLutIsHighestSetBit) {
    EXPECT_EQ(0, exp_lut[0]);
    for (int i = 1; i < 256; i++) {
        int highest = 0;
        for (int rest = i; rest > 1; rest >>= 1) highest++;
        EXPECT_EQ(highest, exp_lut[i]) << i;
    }
}

TEST(Linear2ulaw, ListedValues) {
    EXPECT_EQ(0xFF, linear2ulaw(0));
    EXPECT_EQ(0x80, linear2ulaw(32767));
    EXPECT_EQ(0x00, linear2ulaw(-32767));
    EXPECT_EQ(0x00, linear2ulaw(-32768));
}

/* G.711 mu-law read from its table of decision values: the eight segment end points
 * of the 14-bit table (31, 95, 223, ..., 8159) times four for 16-bit samples, steps of
 * 8, 16, ..., 1024 within segments 0 to 7, the first step of segment 0 half as wide,
 * magnitudes beyond the last decision value in the top step, and every bit of
 * sign | segment | step inverted. */
unsigned char reference_ulaw(int sample) {
    static const int segment_end[8] = {124, 380, 892, 1916, 3964, 8060, 16252, 32636};
    int sign = sample < 0 ? 0x80 : 0;
    long magnitude = sample < 0 ? -static_cast<long>(sample) : sample;
    if (magnitude > segment_end[7] - 1) magnitude = segment_end[7] - 1;
    int segment = 0;
    while (magnitude >= segment_end[segment]) segment++;
    int segment_start = segment == 0 ? -4 : segment_end[segment - 1];
    int step = (magnitude - segment_start) / (8 << segment);
    return static_cast<unsigned char>(0xFF ^ (sign | segment << 4 | step));
}

TEST(Linear2ulaw, MatchesG711OverEverySixteenBitSample) {
    int mismatches = 0;
    for (int sample = -32768; sample <= 32767; sample++) {
        if (linear2ulaw(sample) == reference_ulaw(sample)) continue;
        if (++mismatches <= 10)
            ADD_FAILURE() << sample << ": " << int(linear2ulaw(sample)) << " vs "
                          << int(reference_ulaw(sample));
    }
    EXPECT_EQ(0, mismatches);
}

TEST(Linear2ulaw, ClipsSamplesBeyondSixteenBits) {
    EXPECT_EQ(0x80, linear2ulaw(INT_MAX));
    EXPECT_EQ(0x00, linear2ulaw(INT_MIN));
    EXPECT_EQ(0x80, linear2ulaw(40000));
    EXPECT_EQ(0x00, linear2ulaw(-40000));
}

}  // namespace
