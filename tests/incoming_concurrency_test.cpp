/* Many incoming calls at once: one forwarding worker per call, all reading the same
 * dial-plan files and writing the same debug log. Also run under ThreadSanitizer. */
#include <gtest/gtest.h>

#include <csignal>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "incoming_call.h"
#include "quelmo-paths.h"
#include "quelmo-utils.h"
#include "test_support.h"

using namespace quelmo_test;

namespace {

const int kCalls = 200;

/* What one call's stand-in must receive, scripted as it goes. */
struct CallPlan {
    std::string extension;
    std::string device;
    std::string number;
    std::string name;
    std::string cidnum;
    int centrex;
};

CallPlan plan_call(int i) {
    std::string extension = std::to_string(300 + i);
    std::string device = i % 2 == 0 ? "SIP/" + extension : "SIP/" + extension + "&Zap/" + std::to_string(i);
    return {extension, device, "555-" + extension, "Caller " + std::to_string(i),
            "55501" + std::to_string(i), i % 3 == 0 ? 1 : 0};
}

/* Even extensions are in the external file (Macro lines), odd ones in the internal
 * file (hint lines), so half the lookups go on to the second file. */
void write_dial_plan() {
    std::string external, internal;
    for (int i = 0; i < kCalls; i++) {
        CallPlan plan = plan_call(i);
        if (i % 2 == 0)
            external += "exten => " + plan.extension + ",1,Macro(stdexten," + plan.device + "," +
                        plan.extension + ")\n";
        else
            internal += "exten => " + plan.extension + ",hint," + plan.device + "\n";
    }
    write_file(QUELMO_EXTERNAL_CONF, external);
    write_file(QUELMO_INTERNAL_CONF, internal);
}

/* Scripts the stand-in and returns the bytes the worker must send. */
std::string script_call(AsteriskStandIn &pbx, const CallPlan &plan) {
    std::vector<std::string> commands = {
        "exec Dial \"\"" + plan.device + "\"|20|r\"",
        "exec SetCIDName \"" + plan.name + "\"",
        "exec SetCIDNum \"" + plan.cidnum + "\"",
        "exec Dial \"Local/" + plan.number + "@internal" + (plan.centrex ? "/n" : "") + "\"",
        "exec Wait \"1\"",
        "exec Goto \"999\"",
    };
    std::string bytes;
    for (const std::string &command : commands) {
        pbx.expect(command, "200 result=0");
        bytes += command + "\n";
    }
    return bytes;
}

TEST(IncomingConcurrency, TwoHundredCallsForwardAtOnce) {
    quelmo_init();
    signal(SIGPIPE, SIG_IGN);
    reset_debug_log();
    write_dial_plan();
    int fds_before = count_open_fds();
    {
        std::vector<std::unique_ptr<IncomingCall>> calls;
        std::vector<std::string> expected;
        for (int i = 0; i < kCalls; i++) {
            calls.push_back(std::make_unique<IncomingCall>());
            expected.push_back(script_call(calls.back()->pbx(), plan_call(i)));
        }
        for (int i = 0; i < kCalls; i++) {
            CallPlan plan = plan_call(i);
            ASSERT_TRUE(calls[i]->start(
                make_rules({{1, "Dial", "${EXTEN:" + plan.extension + "}|20"},
                            {2, "Dial", "Local/" + plan.number + "@internal|30"},
                            {3, "Wait", "1"}}),
                make_caller_id(plan.name.c_str(), plan.cidnum.c_str()), plan.centrex));
        }
        for (int i = 0; i < kCalls; i++) {
            ASSERT_TRUE(calls[i]->wait_closed()) << "call " << i;
            EXPECT_EQ(expected[i], calls[i]->received()) << "call " << i;
            EXPECT_EQ("", calls[i]->pbx().mismatch()) << calls[i]->pbx().transcript();
        }
        ASSERT_TRUE(wait_for_worker_exits(kCalls));
    }
    EXPECT_EQ(fds_before, open_fds_settled_to(fds_before));
    /* Every call: ring, name, number, forward and Wait. */
    EXPECT_EQ(static_cast<size_t>(kCalls * 5), count_messages("Return Status = 0"));
    EXPECT_EQ(static_cast<size_t>(kCalls), count_messages("Enter Incoming Thread"));
    /* Every device was found; the odd extensions only in the second file. */
    EXPECT_EQ(0u, count_messages("Could not find device information, using default syntax"));
    size_t not_found = 0;
    for (const std::string &line : debug_messages())
        if (line.find(") = NOT FOUND") != std::string::npos) not_found++;
    EXPECT_EQ(static_cast<size_t>(kCalls / 2), not_found);
    EXPECT_EQ(0u, count_messages("Refused AGI command with a line break"));
}

}  // namespace
