// The tarvik parse stage through the real binary: every message and exit code.
//
// Addresses that the parse stage accepts are contacted once the run flow follows it, so
// every accepted address here is in 127.0.0.0/8 with a port that nothing listens on.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support.h"

namespace {

using qvtest::run_result;

// Runs tarvik with exactly `argv` as its argument vector (argv[0] included, or none at all).
run_result run_raw(const std::vector<std::string> &argv) {
    qvtest::run_options options;
    options.program = qvtest::built_program("tarvik");
    const run_result r = qvtest::run(argv, std::chrono::seconds(30), options);
    EXPECT_FALSE(r.timed_out) << "tarvik did not end within 30 s";
    return r;
}

run_result run(const std::vector<std::string> &args) {
    std::vector<std::string> argv{qvtest::built_program("tarvik")};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_raw(argv);
}

// One closed port for the whole program: an expected text names the port its run was given.
int closed_port() {
    static const int port = qvtest::closed_port();
    return port;
}
std::string port_text() {
    return std::to_string(closed_port());
}

std::string expected_help(const std::string &name = "tarvik") {
    return "Usage: " + name +
           " [OPTIONS] IP_ADDRESS [PORT (default: 80)]\n"
           "\n"
           "Options:\n"
           "  -g, --get                  Get actual values and print list\n"
           "  -o, --output X=Y           Set output X (1..64) or (151..214) to value\n"
           "                             Y (0, 1, OFF, ON)\n"
           "  -f, --filename SETUP.XML   File with configuration for uploading to the\n"
           "                             remote device (max. 256000 bytes)\n"
           "  -v, --values VALUES.XML    File to store actual values in XML format\n"
           "  -s, --setup SETUP.XML      File to store remote device configuration\n"
           "  -t, --text DATA.TXT        File to store actual values in text format\n"
           "  -u, --user USER            HTTP authorization user\n"
           "  -p, --password PASSWORD    HTTP authorization password\n"
           "\n"
           "  -h, --help                 Print this help and exit\n"
           "      --version              Display version information and exit\n"
           "      --error-level          Print error levels and exit\n"
           "\n"
           "Examples:\n"
           "  tarvik -g 192.168.0.41\n"
           "  tarvik -s c:\\data\\setup.xml -v c:\\data\\values.xml 192.168.0.41\n"
           "  tarvik -o 1=ON 192.168.0.41\n"
           "  tarvik -o 1=1 192.168.0.41 8080\n"
           "  tarvik -f setup.xml 192.168.0.41\n"
           "\n";
}

// The help is followed by exactly two closing lines.
void expect_help_then(const run_result &r, const std::string &tail,
                      const std::string &name = "tarvik") {
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    std::string help = expected_help(name);
    ASSERT_EQ(r.out.substr(0, help.size()), help) << r.out;
    std::string rest = r.out.substr(help.size());
    ASSERT_GE(rest.size(), tail.size());
    EXPECT_EQ(rest.substr(rest.size() - tail.size()), tail) << rest;
    std::string closing = rest.substr(0, rest.size() - tail.size());
    size_t first_end = closing.find('\n');
    ASSERT_NE(first_end, std::string::npos) << closing;
    EXPECT_GT(first_end, 0u);
    EXPECT_EQ(closing.find('\n', first_end + 1), closing.size() - 1) << closing;
    EXPECT_GT(closing.size(), first_end + 2);
}

void expect_only(const run_result &r, const std::string &text) {
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, text);
    EXPECT_EQ(r.err, "");
}

// The parse stage let the command line through: no refusal, and the run flow's first words
// announce the connection (without a run flow the tool ends with 0 and says nothing).
void expect_accepted(const run_result &r, const std::string &ip, int port) {
    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.err, "");  // the tool writes to stdout only; sanitizer reports land here
    for (const char *refusal : {"Usage:", "Bad ", "Unknown arg", "maximal length", "requests an"})
        EXPECT_EQ(r.out.find(refusal), std::string::npos) << r.out;
    if (r.out.empty()) {
        EXPECT_EQ(r.exit_code, 0);
    } else {
        std::string announce = ip + ":" + std::to_string(port) + " connecting";
        EXPECT_EQ(r.out.substr(0, announce.size()), announce);
    }
}

TEST(TarvikHelp, NoArgumentsOrNoAddress) {
    expect_help_then(run({}), "");
    expect_help_then(run({"-g"}), "");
    expect_help_then(run({"-g", "-g"}), "");
    expect_help_then(run({"-v", "v.xml", "-u", "me"}), "");
}

TEST(TarvikHelp, HelpOptions) {
    for (const char *option : {"-h", "/h", "/?", "--help"}) {
        expect_help_then(run({option}), "");
        // Help ends the scan at once, whatever follows.
        expect_help_then(run({option, "-x", "-y", "127.0.0.1", port_text()}), "");
    }
    // Options are case-sensitive: --HELP is taken as an address.
    expect_help_then(run({"--HELP"}), "\nBad IP_ADDRESS");
}

TEST(TarvikHelp, ProgramNameIsBaseNameOfArgv0) {
    expect_help_then(run_raw({"/opt/some/dir/tarvik-x"}), "", "tarvik-x");
    expect_help_then(run_raw({"c:\\tools\\tarvik.exe"}), "", "tarvik.exe");
    expect_help_then(run_raw({"plain/"}), "", "plain");
    // An empty argument vector: no crash, the help under a default name.
    run_result r = run_raw({});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find("[OPTIONS] IP_ADDRESS [PORT (default: 80)]\n"), std::string::npos);
}

TEST(TarvikListings, Version) {
    run_result r = run({"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    size_t end = r.out.find('\n');
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(r.out.substr(0, end + 1), "tarvik 1.0.5 (21:56:40, Jan 24 2021)\n");
    // Then the author line, a blank line and the rights line.
    std::string rest = r.out.substr(end + 1);
    size_t author_end = rest.find('\n');
    ASSERT_NE(author_end, std::string::npos);
    EXPECT_GT(author_end, 0u);
    ASSERT_EQ(rest.substr(author_end, 2), "\n\n");
    std::string rights = rest.substr(author_end + 2);
    EXPECT_GT(rights.size(), 1u);
    EXPECT_EQ(rights.find('\n'), rights.size() - 1);
    std::string renamed = run_raw({"bin/tarvik2", "-g", "--version"}).out;
    EXPECT_EQ(renamed.substr(0, renamed.find('\n')), "tarvik2 1.0.5 (21:56:40, Jan 24 2021)");
}

TEST(TarvikListings, ErrorLevels) {
    std::string expected =
        "Error level:\n"
        "  200 SETUP.XML failure\n"
        "  201 DATA.TXT failure\n"
        "  202 set output failure\n"
        "\n"
        "    1 Action not finish\n    2 Action not valid\n    3 Index not found\n"
        "    4 Index not valid\n    5 Memory not found\n    6 File open failure\n"
        "    7 File write failure\n    8 File read failure\n    9 File close failure\n"
        "    10 File not found\n    11 File not valid\n    12 File size >= buffer_size_max\n"
        "    13 IP not valid\n    14 IP:PORT not found\n    15 IP:PORT already use\n"
        "    16 ID not found\n    17 ID already use\n    18 ID >= QVXML_ID_COUNT_MAX\n"
        "    19 Timeout\n    20 Semaphore init failed\n    21 Semaphore post failed\n"
        "    22 Semaphore wait failed\n    23 Mutex init failed\n    24 Mutex lock failed\n"
        "    25 Mutex unlock failed\n    26 Socket init failed\n    27 Socket create failed\n"
        "    28 Socket connect failure\n    29 Socket nonblock setup failed\n"
        "    30 Socket select write failure\n    31 Socket select read failure\n"
        "    32 Socket select failure\n    33 Socket select timeout\n    34 Recv failed\n"
        "    35 Send failed\n    36 Thread 0 not exit\n    37 Thread 0 creation failed\n"
        "    38 Thread creation failed\n    39 Thread not exit\n    40 Thread not run\n"
        "    41 Count modules = QV*_MODULES_MAX\n    42 p_password >= AUTHENTICATE_MAX\n"
        "    43 p_user >= AUTHENTICATE_MAX\n    44 Create XML parser failure\n"
        "    45 XML file not valid\n    46 HTTP not found\n    47 HTTP: Bad Request\n"
        "    48 HTTP: Unauthorized\n    49 HTTP: Payment Required\n    50 HTTP: Forbidden\n"
        "    51 HTTP: Not Found\n    52 HTTP: Method Not Allowed\n    53 HTTP: Not Acceptable\n"
        "    54 HTTP: Proxy Authentication Required\n    55 HTTP: Request Timeout\n"
        "    56 HTTP: Conflict\n    57 HTTP: Gone\n    58 HTTP: Length Required\n"
        "    59 HTTP: Precondition Failed\n    60 HTTP: Request Entity Too Large\n"
        "    61 HTTP: Request-URI Too Long\n    62 HTTP: Unsupported Media Type\n"
        "    63 HTTP: Requested Range Not Satisfiable\n    64 HTTP: Expectation Failed\n"
        "    65 HTTP: Internal Server Error\n    66 HTTP: Not Implemented\n"
        "    67 HTTP: Bad Gateway\n    68 HTTP: Service Unavailable\n"
        "    69 HTTP: Gateway Timeout\n    70 HTTP Version Not Supported\n"
        "    71 HTTP unknown\n    72 Number not in range\n    73 Unknown value\n"
        "    74 No data\n    75 Buffer is full\n    76 Checksum is failure\n"
        "    77 Memory for page not alloc\n    78 Memory for buffer not alloc\n"
        "    79 TEA authorization failure\n    80 Modul use more somewhere\n"
        "    81 Length > LENGTH_MAX\n    82 Socket reuseaddr setup failed\n"
        "    83 Socket sndbuf setup failed\n    84 Socket maxseg setup failed\n"
        "    85 Assert: Pointer is NULL\n    86 Server create failed\n"
        "    87 Client connect failed\n    88 Socket linger setup failed\n"
        "    89 Resolve address failed\n";
    expect_only(run({"--error-level"}), expected);
    // The first listing option wins; nothing before it was acted upon.
    expect_only(run({"-g", "--error-level", "--version"}), expected);
}

TEST(TarvikOutputOption, BadArgumentsAreRefused) {
    const std::string tail = "\nBad argument for option --output";
    for (const char *bad : {"1=yes", "1", "1=On", "1=", "=", "1=ON ", "1=2", "1=oN", "1=01"}) {
        expect_help_then(run({"-o", bad, "127.0.0.1", port_text()}), tail);
        expect_help_then(run({"--output", bad, "127.0.0.1"}), tail);
    }
    // The argument is split in a 512-byte buffer: 511 characters pass, 512 do not.
    std::string arg511 = std::string(507, '0') + "1=ON";
    ASSERT_EQ(arg511.size(), 511u);
    expect_accepted(run({"-o", arg511, "127.0.0.1", port_text()}), "127.0.0.1", closed_port());
    expect_help_then(run({"-o", "0" + arg511, "127.0.0.1", port_text()}), tail);
    expect_help_then(run({"-o", std::string(100000, '1') + "=1", "127.0.0.1"}), tail);
}

TEST(TarvikOutputOption, GoodArgumentsPass) {
    for (const char *good : {"1=ON", "1=on", "1=1", "64=OFF", "151=off", "214=0", "x=1", "-5=1"})
        expect_accepted(run({"-o", good, "127.0.0.1", port_text()}), "127.0.0.1", closed_port());
}

TEST(TarvikArguments, MissingOptionArgument) {
    for (const char *option : {"-f", "--filename", "-v", "--values", "-o", "--output", "-s",
                               "--setup", "-t", "-u", "--user", "-p", "--password"}) {
        expect_only(run({option}), std::string("Option '") + option + "' requests an argument\n");
        expect_only(run({"-g", option}),
                    std::string("Option '") + option + "' requests an argument\n");
    }
    // After an accepted address the last argument is still an option.
    expect_only(run({"127.0.0.1", "-v"}), "Option '-v' requests an argument\n");
}

TEST(TarvikArguments, LengthLimits) {
    struct limit {
        const char *option;
        const char *name;
        size_t max;
    };
    for (limit l :
         {limit{"-f", "FILENAME.XML", 259}, limit{"--filename", "FILENAME.XML", 259},
          limit{"-v", "VALUES.XML", 259}, limit{"--values", "VALUES.XML", 259},
          limit{"-s", "SETUP.XML", 259}, limit{"--setup", "SETUP.XML", 259},
          limit{"-t", "DATA.TXT", 259}, limit{"-u", "USER", 127}, limit{"--user", "USER", 127},
          limit{"-p", "PASSWORD", 127}, limit{"--password", "PASSWORD", 127}}) {
        std::string message = std::string("maximal length of ") + l.name + " is " +
                              std::to_string(l.max) + " chars\n";
        expect_only(run({l.option, std::string(l.max + 1, 'a'), "127.0.0.1", port_text()}),
                    message);
        expect_only(run({l.option, std::string(120000, 'a'), "127.0.0.1"}), message);
        // The longest accepted value.
        expect_accepted(run({l.option, std::string(l.max, 'a'), "127.0.0.1", port_text()}),
                        "127.0.0.1", closed_port());
    }
}

TEST(TarvikAddress, RefusedAddresses) {
    const std::string bad = "\nBad IP_ADDRESS";
    for (const char *address : {"192.168.0", "192.168.0.4x", "192.168.0000.041", "1234567890.2.3.4",
                                "host.example", "", "1.2.3", "a.b.c.d", "1.2.3.-4", "::1"}) {
        // As the last argument, and as the second-to-last followed by a port.
        expect_help_then(run({address}), bad);
        expect_help_then(run({"-g", address}), bad);
        expect_help_then(run({address, port_text()}), bad);
    }
}

TEST(TarvikAddress, AcceptedAddresses) {
    expect_accepted(run({"127.000.000.001", port_text()}), "127.000.000.001", closed_port());
    expect_accepted(run({"127.0.0.1", port_text()}), "127.0.0.1", closed_port());
    expect_accepted(run({"-v", "v.xml", "127.0.0.1", port_text()}), "127.0.0.1", closed_port());
    expect_accepted(run({"-s", "s.xml", "-t", "t.txt", "-g", "127.0.0.1", port_text()}),
                    "127.0.0.1", closed_port());
    // A port that is no number is read as 0 (nothing listens there either).
    expect_accepted(run({"127.0.0.1", "http"}), "127.0.0.1", 0);
}

TEST(TarvikAddress, PortMustNotBeFollowedByArguments) {
    expect_only(run({"192.168.0.41", "-v", "v.xml"}), "Unknown arg: 192.168.0.41\n");
    expect_only(run({"192.168.0.41", "80", "-g"}), "Unknown arg: 192.168.0.41\n");
}

TEST(TarvikArguments, UnknownArguments) {
    expect_help_then(run({"-x", "192.168.0.41"}), "\nUnknown arg: -x\n");
    expect_only(run({"-x", "-g", "192.168.0.41"}), "Unknown arg: -x\n");
    expect_only(run({"--text", "r.txt", "192.168.0.41"}), "Unknown arg: --text\n");
    expect_only(run({"-G", "-g", "192.168.0.41"}), "Unknown arg: -G\n");
    // Format directives in an argument are printed as typed.
    expect_only(run({"%s%n%x", "-g", "192.168.0.41"}), "Unknown arg: %s%n%x\n");
    expect_help_then(run({"-%n%s", "192.168.0.41"}), "\nUnknown arg: -%n%s\n");
}

TEST(TarvikArguments, LongAndOddCommandLinesNeverCrash) {
    std::string huge(120000, 'A');
    std::string dots(60000, '.');
    std::string bytes = "\xff\xfe\x01\x7f-\x80";
    std::string dash_bytes = "-" + bytes;
    std::vector<std::vector<std::string>> lines = {
        {huge},
        {huge, port_text()},
        {"-x", huge, "192.168.0.41"},
        {"-" + huge, "192.168.0.41"},
        {dots},
        {bytes},
        {bytes, "1"},
        {dash_bytes, "1"},
        {"", ""},
        {"", "", ""},
        {"-o", "=", "-o"},
        {"-u", "", "-p"},
    };
    for (const auto &line : lines) {
        run_result r = run(line);
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");
    }
    expect_help_then(run({huge}), "\nBad IP_ADDRESS");
    expect_only(run({"-x", huge, "192.168.0.41"}), "Unknown arg: -x\n");
    expect_help_then(run({"-" + huge, "192.168.0.41"}), "\nUnknown arg: -" + huge + "\n");
    expect_help_then(run({bytes}), "\nBad IP_ADDRESS");
    expect_help_then(run({bytes, "1"}), "\nBad IP_ADDRESS");
    expect_help_then(run({dash_bytes, "1"}), "\nUnknown arg: " + dash_bytes + "\n");

    // Thousands of arguments: flags pass, an unknown one stops the scan.
    std::vector<std::string> many(20000, "-g");
    many.push_back("127.0.0.1");
    many.push_back(port_text());
    expect_accepted(run(many), "127.0.0.1", closed_port());
    std::vector<std::string> unknown(20000, "zz");
    expect_only(run(unknown), "Unknown arg: zz\n");
}

}  // namespace
