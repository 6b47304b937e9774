/* tonemill-tables: the DTMF and MF digit tables of the Tormenta driver, the row writer
 * that turns a table into the start values of a sine oscillator per tone, and the G.711
 * mu-law encoder with its segment table. tonemill's main writes the header around the
 * rows; nothing here keeps state. */
#ifndef TONEMILL_TABLES_H
#define TONEMILL_TABLES_H

/* One digit of a tone table: the digit and its two tones. A digit of NUL (with both
 * frequencies 0) ends a table. */
typedef struct tone_digit {
    char digit;  /* the digit's character, NUL for the end entry */
    float freq1; /* lower tone of the pair, in Hz */
    float freq2; /* higher tone of the pair, in Hz */
} TONE_DIGIT;

/* DTMF digits 0-9, *, #, A-D, then the end entry. */
extern const TONE_DIGIT dtmf_dial[17];
/* MF digits 0-9, *, #, A-C, then the end entry. */
extern const TONE_DIGIT mf_dial[16];

/* Mu-law segment of a biased magnitude shifted right by 7: entry i is the position of
 * the highest set bit of i (0 for i = 0). */
extern const int exp_lut[256];

/* Writes to standard output one header row per entry of table, up to its end entry:
 * the label name_<digit> ('*' as 's', '#' as 'p'), the oscillator factor and two start
 * values of the first tone at level1 dB and of the second at level2 dB, and a pointer
 * to name_silence. The results of the writes are not examined here (the caller checks
 * the stream). Returns 0. */
int process(const char *name, const TONE_DIGIT *table, float level1, float level2);

/* G.711 mu-law code of one 16-bit signed linear sample. Magnitudes above 32635 are
 * clipped, so any int is accepted. Never fails. */
unsigned char linear2ulaw(int sample);

#endif
