/* A small AGI program written in C, as a user of the installed AGI library writes one:
 * built by the tests with cc against <quelmo/cagi.h>, libquelmo-agi.a and quelmo-agi.pc
 * only, and run with the AGI connection on its standard input and output. It writes what
 * the library read and parsed, one line per step, to the file named by its argument. */
#include <stdio.h>

#include <quelmo/cagi.h>

static void report(FILE *log, const char *step, int status, const AGI_CMD_RESULT *res) {
    fprintf(log, "%s %d %d %s (%s)\n", step, status, res->code, res->result, res->data);
}

int main(int argc, char **argv) {
    AGI_TOOLS agi;
    AGI_CMD_RESULT res;
    char value[16];
    FILE *log;
    int status;

    if (argc != 2 || (log = fopen(argv[1], "w")) == NULL) return 2;
    AGITool_Init(&agi);
    fprintf(log, "extension %s\n", AGITool_ListGetVal(agi.agi_vars, "agi_extension"));
    fprintf(log, "tmpdir %s\n", AGITool_ListGetVal(agi.settings, "tmpdir"));
    report(log, "answer", AGITool_answer(&agi, &res), &res);
    status = AGITool_get_variable2(&agi, &res, "FOO", value, sizeof(value) - 1);
    report(log, "get_variable2", status, &res);
    fprintf(log, "value %s\n", value);
    report(log, "exec_dial", AGITool_exec_dial(&agi, &res, "SIP", "205", "pbx", 30, 600000), &res);
    report(log, "say_digits", AGITool_say_digits(&agi, &res, "123", "#"), &res);
    AGITool_Destroy(&agi);
    return fclose(log) == 0 ? 0 : 1;
}
