/* Fuzz target: the AGI library's reply reader. The input is everything Asterisk answers:
 * replies to a fixed round of commands, multi-line 520 replies, unsolicited HANGUP lines,
 * over-long lines. Every parsed text must stay within its field. */
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "cagi.h"
#include "fuzz_support.h"

namespace {

/* Commands are sent until the input is used up, at most this many. */
const int kMaxCommands = 64;

void check_result(const AGI_CMD_RESULT &res) {
    if (memchr(res.result, '\0', sizeof(res.result)) == nullptr ||
        memchr(res.data, '\0', sizeof(res.data)) == nullptr)
        quelmo_fuzz::fail("a reply text runs past its field");
}

/* One command of the round numbered turn; each parses its reply its own way. */
void send_one(AGI_TOOLS *tool, AGI_CMD_RESULT *res, int turn) {
    char value[17];
    switch (turn % 8) {
        case 0:
            AGITool_get_variable2(tool, res, const_cast<char *>("EXTEN"), value, 16);
            if (value[16] != '\0') quelmo_fuzz::fail("variable copy not terminated");
            break;
        case 1:
            AGITool_channel_status(tool, res, const_cast<char *>("SIP/205"));
            break;
        case 2:
            AGITool_exec_dial(tool, res, const_cast<char *>("SIP"), const_cast<char *>("205"),
                              const_cast<char *>("gw"), 20, 60000);
            break;
        case 3:
            AGITool_record_file(tool, res, const_cast<char *>("msg"), const_cast<char *>("wav"),
                                const_cast<char *>("#"), 1000, 1, 2, 3);
            break;
        case 4:
            AGITool_get_data(tool, res, const_cast<char *>("beep"), 1000, 4);
            break;
        case 5:
            AGITool_database_get(tool, res, const_cast<char *>("fam"), const_cast<char *>("key"));
            break;
        case 6:
            AGITool_stream_file(tool, res, const_cast<char *>("hello"), const_cast<char *>("#"), 0);
            break;
        default:
            AGITool_noop(tool, res);
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    quelmo_fuzz::quiet_process();
    if (size == 0) return 0;
    std::vector<char> bytes(data, data + size);
    FILE *in = fmemopen(bytes.data(), size, "r");
    if (in == nullptr) quelmo_fuzz::fail("fmemopen");
    AGI_TOOLS tool = {quelmo_fuzz::null_stream(), in, nullptr, nullptr, 0};
    tool.agi_vars = AGITool_ListAddItem(nullptr, const_cast<char *>("agi_version"),
                                        const_cast<char *>("20.20.1"));
    AGI_CMD_RESULT res;
    memset(&res, 0, sizeof(res));
    for (int turn = 0; turn < kMaxCommands && !feof(in); turn++) {
        send_one(&tool, &res, turn);
        check_result(res);
    }
    AGITool_Destroy(&tool);
    fclose(in);
    return 0;
}
