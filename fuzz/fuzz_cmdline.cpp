// The tarvik parse stage (parse_command_line) over fuzzed argument vectors.
//
// Input: the arguments separated by NUL bytes, the first one being the program path; at
// most kMaxArgs are used. Each argument lives in an allocation of its own exact size, so
// reading past an argument is an ASan report.
//
// The parse stage ends the process with exit code 0 when an option's argument is missing
// (arg_next_index). The target is linked with -Wl,--wrap=exit: while the parse stage runs,
// exit() returns here through longjmp with its status, which must be 0; at any other time
// the call goes on to the real exit. No frame between the two owns anything to destroy.
//
// Checked after an accepted command line (result 1): an address of 1..15 characters whose
// first four dot-separated parts are digits; every text setting terminated within its field; output
// and value either both unset or a value of 0 or 1; get 0 or 1. For every result: the arguments
// after the program path are left unchanged. Standard output (help texts) goes to /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_records.h"
#include "tool/tool.h"

namespace {

constexpr size_t kMaxArgs = 40;

std::jmp_buf g_exit_target;
volatile bool g_in_parse = false;
volatile int g_exit_status = -1;

void check_text(const char *field, size_t size, const char *name) {
    if (strnlen(field, size) == size) fuzz_fail("setting without terminator", name);
}

// The address rule, written here from its contract: at least three dots; the first four
// dot-separated parts hold digits only (they may be empty); text after a fourth dot is not
// examined.
bool address_acceptable(const char *ip) {
    const char *p = ip;
    for (int part = 0; part < 4; ++part) {
        while (*p >= '0' && *p <= '9') ++p;
        if (part == 3) return *p == '\0' || *p == '.';
        if (*p != '.') return false;
        ++p;
    }
    return false;
}

}  // namespace

extern "C" [[noreturn]] void __real_exit(int status);
extern "C" [[noreturn]] void __wrap_exit(int status) {
    if (g_in_parse) {
        g_exit_status = status;
        std::longjmp(g_exit_target, 1);
    }
    __real_exit(status);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd >= 0) dup2(null_fd, STDOUT_FILENO);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (size_t i = 0; i < size && args.size() < kMaxArgs; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (args.size() < kMaxArgs) args.push_back(current);

    std::vector<char *> argv;
    for (const std::string &arg : args) {
        char *copy = static_cast<char *>(std::malloc(arg.size() + 1));
        std::memcpy(copy, arg.c_str(), arg.size() + 1);
        argv.push_back(copy);
    }
    argv.push_back(nullptr);
    const int argc = static_cast<int>(args.size());

    int result;
    g_exit_status = -1;
    if (setjmp(g_exit_target) == 0) {
        g_in_parse = true;
        result = parse_command_line(argc, argv.data());
        g_in_parse = false;
    } else {
        g_in_parse = false;
        result = -2;  // ended through exit()
        if (g_exit_status != 0)
            fuzz_fail("parse stage exit status", std::to_string(g_exit_status).c_str());
    }
    std::fflush(stdout);

    if (result != 0 && result != 1 && result != -2)
        fuzz_fail("parse stage result", std::to_string(result).c_str());
    for (int i = 1; i < argc; ++i)
        if (args[static_cast<size_t>(i)] != argv[static_cast<size_t>(i)])
            fuzz_fail("argument changed by the parse stage", args[static_cast<size_t>(i)].c_str());
    if (result == 1) {
        const tool_settings &s = user_settings;
        check_text(s.ip, sizeof s.ip, "ip");
        const size_t ip_length = std::strlen(s.ip);
        if (ip_length == 0 || ip_length > 15) fuzz_fail("accepted address length", s.ip);
        if (!address_acceptable(s.ip)) fuzz_fail("accepted address text", s.ip);
        check_text(s.filename, sizeof s.filename, "filename");
        check_text(s.setup_file, sizeof s.setup_file, "setup_file");
        check_text(s.values_file, sizeof s.values_file, "values_file");
        check_text(s.text_file, sizeof s.text_file, "text_file");
        check_text(s.user, sizeof s.user, "user");
        check_text(s.password, sizeof s.password, "password");
        const int output = s.output.load(), value = s.output_value.load();
        if ((output == -1) != (value == -1)) fuzz_fail("output without value or back", "");
        if (value != -1 && value != 0 && value != 1) fuzz_fail("output value", "");
        if (s.get != 0 && s.get != 1) fuzz_fail("get flag", "");
    }
    for (char *arg : argv) std::free(arg);
    return 0;
}
