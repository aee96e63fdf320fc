// The run flow in a child process: library failures before any device is contacted end
// with status 255 after the library-wide error is printed.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "error_codes.h"
#include "qvxml.h"
#include "tool/run_flow.h"
#include "tool/tool.h"

namespace {

struct child_result {
    int status = -1;
    std::string out;
};

// Runs `body` in a child whose standard output is collected; the child ends with 0 if the
// body returns (it is expected not to).
template <typename Body>
child_result in_child(Body body) {
    child_result result;
    int out[2];
    if (pipe(out) != 0) return result;
    std::fflush(stdout);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        body();
        std::fflush(stdout);
        _exit(0);
    }
    close(out[1]);
    char chunk[4096];
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 30000) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        const ssize_t n = read(out[0], chunk, sizeof chunk);
        if (n <= 0) break;
        result.out.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

TEST(RunFlow, LibraryThatCannotStartEndsWith255) {
    const child_result r = in_child([] {
        char *argv[] = {const_cast<char *>("tarvik"), const_cast<char *>("127.0.0.1"),
                        const_cast<char *>("9"), nullptr};
        if (parse_command_line(3, argv) != 1) return;
        if (qvxml_init() != 0) return;  // the second start inside run_flow is refused
        run_flow();
    });
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out.rfind(qvtest::own_finding_line(QV_E_IN_USE_ELSEWHERE), 0), 0u) << r.out;
    EXPECT_EQ(r.out.find("connecting"), std::string::npos);
}

}  // namespace
