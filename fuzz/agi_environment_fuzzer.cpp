/* Fuzz target: the AGI environment reader. The input is what Asterisk sends when a call
 * connects; it is read as the process's standard input, as the dispatcher reads it. Every
 * stored name and value must fit its field. */
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cagi.h"
#include "fuzz_support.h"

namespace {

void check_list(const AGI_VAL_LIST *list) {
    for (; list != nullptr; list = list->next) {
        if (memchr(list->field, '\0', sizeof(list->field)) == nullptr ||
            memchr(list->value, '\0', sizeof(list->value)) == nullptr)
            quelmo_fuzz::fail("an environment text runs past its field");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quelmo_fuzz::quiet_process();
    /* fmemopen wants at least one byte of buffer; an empty input reads as an empty stream. */
    std::vector<char> bytes(data, data + size);
    bytes.push_back('\0');
    FILE *in = fmemopen(bytes.data(), size == 0 ? 1 : size, "r");
    if (in == nullptr) quelmo_fuzz::fail("fmemopen");
    if (size == 0) fgetc(in);
    FILE *saved_in = stdin;
    FILE *saved_out = stdout;
    stdin = in;
    stdout = quelmo_fuzz::null_stream();
    AGI_TOOLS tool;
    AGITool_Init(&tool);
    stdin = saved_in;
    stdout = saved_out;
    check_list(tool.agi_vars);
    AGITool_ListGetVal(tool.agi_vars, const_cast<char *>("agi_callerid"));
    AGITool_Destroy(&tool);
    fclose(in);
    return 0;
}
