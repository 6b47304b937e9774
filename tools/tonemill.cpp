/* tonemill: writes tones.h, the DTMF and MF tone tables of the Tormenta driver, to
 * standard output. Takes no input; the output is the same on every run. The rows come
 * from tonemill-tables; this file lays out the header around them. */
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "tonemill-tables.h"

namespace {

/* Level in dB of both tones of every digit. */
const float kToneLevel = -10;

/* Flushes the header out. The header feeds a build, so a write that failed must not
 * pass for a finished header: returns 1 after a message on standard error then, else 0. */
int finish_output(void) {
    bool flushed = fflush(stdout) == 0;
    int saved_errno = errno;
    if (flushed && !ferror(stdout)) return 0;
    fprintf(stderr, "tonemill: cannot write the tone header: %s\n", strerror(saved_errno));
    return 1;
}

}  // namespace

int main(void) {
    fputs("/* DTMF and MF tones used by the Tormenta Driver, in static tables.\n"
          "   Generated automatically from tonemill.  Do not edit by hand.  */\n",
          stdout);
    fputs("static struct zt_tone dtmf_tones[16] = {\n", stdout);
    process("dtmf", dtmf_dial, kToneLevel, kToneLevel);
    fputs("};\n\n", stdout);
    fputs("static struct zt_tone mfv1_tones[15] = {\n", stdout);
    process("mfv1", mf_dial, kToneLevel, kToneLevel);
    fputs("};\n\n", stdout);
    fputs("/* END tones.h */\n", stdout);
    return finish_output();
}
