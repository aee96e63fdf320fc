// The run flow in a child process: library failures before any device is contacted end
// with status 255 after the library-wide error is printed.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "error_codes.h"
#include "qvxml.h"
#include "support.h"
#include "tool/run_flow.h"
#include "tool/tool.h"

namespace {

// Runs `body` (which is expected to end the process itself) in a child; its output and how
// it ended.
qvtest::run_result in_child(const std::function<void()> &body) {
    return qvtest::run_in_child(
        [&] {
            body();
            return 0;
        },
        std::chrono::seconds(30));
}

TEST(RunFlow, LibraryThatCannotStartEndsWith255) {
    const qvtest::run_result r = in_child([] {
        char *argv[] = {const_cast<char *>("tarvik"), const_cast<char *>("127.0.0.1"),
                        const_cast<char *>("9"), nullptr};
        if (parse_command_line(3, argv) != 1) return;
        if (qvxml_init() != 0) return;  // the second start inside run_flow is refused
        run_flow();
    });
    EXPECT_EQ(r.exit_code, 255);
    EXPECT_EQ(r.out.rfind(qvtest::own_finding_line(QV_E_IN_USE_ELSEWHERE), 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("connecting"), std::string::npos);
}

}  // namespace
