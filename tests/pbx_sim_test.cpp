/* Tests of the simulated PBX side of a call (pbx-sim), as quelmo.admin explain and
 * asterisk-sim use it. */
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <utility>
#include <vector>

#include "pbx-sim.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

/* A server that sends its last commands and closes without reading a reply: every line is
 * still in the transcript with the PBX's answer, as it is when the close arrives later. */
TEST(PbxSim, LinesSentBeforeTheServerClosedAreAllAnswered) {
    signal(SIGPIPE, SIG_IGN);
    SocketPair pair = make_socket_pair();
    const std::string sent = "exec Dial \"Local/5559999@internal\"\nexec Goto \"999\"\n";
    ASSERT_EQ(static_cast<ssize_t>(sent.size()), write(pair.server, sent.data(), sent.size()));
    close(pair.server);
    SimCall call;
    call.context = "macro-stdexten";
    call.extension = "205";
    call.app_results["Dial"] = -1;
    SimTranscript transcript;
    EXPECT_EQ(0, SimPlayCall(pair.pbx, call, &transcript));
    close(pair.pbx);
    std::vector<std::pair<SimEntryKind, std::string>> entries;
    for (const SimEntry &entry : transcript.entries) entries.push_back({entry.kind, entry.text});
    EXPECT_EQ((std::vector<std::pair<SimEntryKind, std::string>>{
                  {SIM_ENVIRONMENT, SimEnvironment(call)},
                  {SIM_COMMAND, "exec Dial \"Local/5559999@internal\"\n"},
                  {SIM_REPLY, "200 result=-1\n"},
                  {SIM_COMMAND, "exec Goto \"999\"\n"},
                  {SIM_REPLY, "200 result=0\n"},
                  {SIM_CLOSED, ""}}),
              entries);
    EXPECT_TRUE(transcript.closed_by_server);
    EXPECT_EQ("priority 999 of extension 205 in context macro-stdexten",
              transcript.outcome.continues_at);
}

}  // namespace
