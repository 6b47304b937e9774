/* tonemill-tables: digit tables, row writer and mu-law encoder of tonemill. Each tone
 * becomes the state of the recurrence y[n] = 2cos(w) y[n-1] - y[n-2], which the driver
 * runs to produce A sin(nw) at 8000 samples per second. */
#include "tonemill-tables.h"

#include <math.h>
#include <stdio.h>

const TONE_DIGIT dtmf_dial[17] = {
    {'0', 941, 1336}, {'1', 697, 1209}, {'2', 697, 1336}, {'3', 697, 1477},
    {'4', 770, 1209}, {'5', 770, 1336}, {'6', 770, 1477}, {'7', 852, 1209},
    {'8', 852, 1336}, {'9', 852, 1477}, {'*', 941, 1209}, {'#', 941, 1477},
    {'A', 697, 1633}, {'B', 770, 1633}, {'C', 852, 1633}, {'D', 941, 1633},
    {0, 0, 0},
};

const TONE_DIGIT mf_dial[16] = {
    {'0', 1300, 1500}, {'1', 700, 900},   {'2', 700, 1100},  {'3', 900, 1100},
    {'4', 700, 1300},  {'5', 900, 1300},  {'6', 1100, 1300}, {'7', 700, 1500},
    {'8', 900, 1500},  {'9', 1100, 1500}, {'*', 1100, 1700}, {'#', 1500, 1700},
    {'A', 900, 1700},  {'B', 1300, 1700}, {'C', 700, 1700},  {0, 0, 0},
};

const int exp_lut[256] = {
    0, 0, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3,
    4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4, 4,
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
    5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
    7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7,
};

namespace {

const double kSampleRate = 8000.0;
const double kTwoPi = 6.283185307179586;
const double kFourPi = 12.566370614359172;
/* The factor is written in units of 1/32768. */
const double kFactorScale = 32768.0;

const int kMulawBias = 0x84;
const int kMulawClip = 32635;

/* Oscillator state of one tone as written in a row, in output order. */
struct oscillator {
    int factor; /* 2cos(w) * 32768; up to 65536, never clipped to 16 bits */
    int start2; /* y[-2] = A sin(-2w) */
    int start1; /* y[-1] = A sin(-w) */
};

/* Peak amplitude of a tone at level dB: worked out in double, kept as a float, as the
 * driver's tables have always been. */
float compute_amplitude(float level) {
    return static_cast<float>(pow(10.0, (level - 3.14) / 20.0) * 65536.0 * 0.5);
}

/* The three integers of one tone; each is truncated toward zero. */
oscillator start_oscillator(float freq, float level) {
    double t = freq / kSampleRate;
    float amplitude = compute_amplitude(level);
    oscillator osc;
    osc.factor = static_cast<int>(2.0 * cos(t * kTwoPi) * kFactorScale);
    osc.start2 = static_cast<int>(amplitude * sin(t * -kFourPi));
    osc.start1 = static_cast<int>(amplitude * sin(-kTwoPi * t));
    return osc;
}

/* The character a digit goes by in a C name: '*' and '#' cannot appear there. */
char label_digit(char digit) {
    if (digit == '*') return 's';
    if (digit == '#') return 'p';
    return digit;
}

}  // namespace

int process(const char *name, const TONE_DIGIT *table, float level1, float level2) {
    for (const TONE_DIGIT *entry = table; entry->digit != '\0'; entry++) {
        oscillator low = start_oscillator(entry->freq1, level1);
        oscillator high = start_oscillator(entry->freq2, level2);
        printf("\t /* %s_%c */ { %d, %d, %d, %d, %d, %d, DEFAULT_DTMF_LENGTH, &%s_silence }, \n",
               name, label_digit(entry->digit), low.factor, low.start2, low.start1,
               high.factor, high.start2, high.start1, name);
    }
    return 0;
}

unsigned char linear2ulaw(int sample) {
    int sign = sample < 0 ? 0x80 : 0;
    /* Clip before negating, so that no int overflows. */
    int magnitude;
    if (sample < 0)
        magnitude = sample < -kMulawClip ? kMulawClip : -sample;
    else
        magnitude = sample > kMulawClip ? kMulawClip : sample;
    magnitude += kMulawBias;
    int exponent = exp_lut[(magnitude >> 7) & 0xFF];
    int mantissa = (magnitude >> (exponent + 3)) & 0x0F;
    return static_cast<unsigned char>(~(sign | (exponent << 4) | mantissa) & 0xFF);
}
