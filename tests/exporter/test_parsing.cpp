// The exporter's parsers of outside input: command line, /probe query and target, YAML
// configuration, networks; and the documents built from a configuration (/sd, landing page).
#include <gtest/gtest.h>

#include <map>

#include "exporter/config.h"
#include "exporter/log.h"
#include "exporter/options.h"
#include "exporter/pages.h"
#include "exporter/query.h"
#include "exporter/server.h"

namespace exporter {
namespace {

// ---- command line ----------------------------------------------------------------------

struct options_case {
    std::vector<const char *> args;
    bool ok;
    std::string error;  // exact reason when !ok
};

TEST(ExporterOptions, ParsesFlagsInBothSpellingsAndRefusesBadOnes) {
    const options_case cases[] = {
        {{}, true, ""},
        {{"--web.listen-address=127.0.0.1:9000", "--config.file", "/x.yml"}, true, ""},
        {{"--web.max-requests", "98"}, true, ""},
        {{"--web.max-requests=0"},
         false,
         "--web.max-requests: not a whole number 1..98 (the client library runs at most 98 "
         "modules at once)"},
        {{"--web.max-requests=99"},
         false,
         "--web.max-requests: not a whole number 1..98 (the client library runs at most 98 "
         "modules at once)"},
        {{"--web.max-requests=4x"},
         false,
         "--web.max-requests: not a whole number 1..98 (the client library runs at most 98 "
         "modules at once)"},
        {{"--web.listen-address=localhost:80"},
         false,
         "--web.listen-address: the address is not a dotted IPv4 address (leave it out for "
         "every interface)"},
        {{"--web.listen-address=10942"},
         false,
         "--web.listen-address: not [ADDRESS]:PORT (for example :10942 or 127.0.0.1:10942)"},
        {{"--web.listen-address=:65536"},
         false,
         "--web.listen-address: the port is not a number 0..65535"},
        {{"--log.level=verbose"}, false, "--log.level: not one of debug, info, warn, error"},
        {{"--timeout-offset=-1s"},
         false,
         "--timeout-offset: not a duration from 0s to 60s (for example 0.5s or 500ms)"},
        {{"--web.request-timeout=10"},
         false,
         "--web.request-timeout: not a duration from 100ms to 10m (for example 10s)"},
        {{"--config.file"}, false, "--config.file needs a value"},
        {{"--config.file="}, false, "--config.file: empty path"},
        {{"--help=yes"}, false, "--help takes no value"},
        {{"--web.listen"}, false, "unknown flag --web.listen (try --help)"},
        {{"probe"}, false, "unexpected argument (the exporter takes flags only; try --help)"},
    };
    for (const options_case &c : cases) {
        std::vector<const char *> argv = {"tarvik_exporter"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        exporter_options options;
        std::string error;
        const bool ok = parse_options(static_cast<int>(argv.size()), argv.data(), &options, &error);
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args.front());
        EXPECT_EQ(ok, c.ok);
        if (!c.ok) {
            EXPECT_EQ(error, c.error);
        }
    }
}

TEST(ExporterOptions, DefaultsAndValues) {
    exporter_options options;
    EXPECT_EQ(options.listen_address, ":10942");
    EXPECT_EQ(options.max_requests, 40);
    EXPECT_DOUBLE_EQ(options.timeout_offset_s, 0.5);
    const char *argv[] = {"x",
                          "--web.listen-address",
                          "127.0.0.1:0",
                          "--web.max-requests=7",
                          "--log.level=debug",
                          "--timeout-offset=250ms",
                          "--web.request-timeout=1m30s",
                          "--version",
                          "-h"};
    std::string error;
    ASSERT_TRUE(parse_options(9, argv, &options, &error)) << error;
    EXPECT_EQ(options.listen_address, "127.0.0.1:0");
    EXPECT_EQ(options.max_requests, 7);
    EXPECT_EQ(options.level, log_level::debug);
    EXPECT_DOUBLE_EQ(options.timeout_offset_s, 0.25);
    EXPECT_DOUBLE_EQ(options.request_timeout_s, 90);
    EXPECT_TRUE(options.version);
    EXPECT_TRUE(options.help);
}

TEST(ExporterOptions, Durations) {
    const std::map<std::string, double> good = {{"10s", 10},   {"1.5s", 1.5}, {"250ms", 0.25},
                                                {"1m30s", 90}, {"2h", 7200},  {"0s", 0},
                                                {".5s", 0.5}};
    for (const auto &[text, seconds] : good) {
        double value = -1;
        EXPECT_TRUE(parse_duration(text, &value)) << text;
        EXPECT_DOUBLE_EQ(value, seconds) << text;
    }
    for (const char *bad :
         {"", "10", "s", "-1s", "1.2.3s", "10 s", "1d", "25h", "1e3s", "nans", "1sx"}) {
        double value = -1;
        EXPECT_FALSE(parse_duration(bad, &value)) << bad;
    }
}

// ---- /probe query and target ------------------------------------------------------------

struct query_case {
    std::string raw;
    std::string reason;  // "" when accepted
    std::string host = "";
    int port = 0;
    std::string module = "";
};

TEST(ExporterQuery, ProbeQueries) {
    const std::string long_value(300, 'a');
    const query_case cases[] = {
        {"target=192.0.2.1", "", "192.0.2.1", 80, "default"},
        {"target=192.0.2.1%3A8080&module=lab", "", "192.0.2.1", 8080, "lab"},
        {"module=lab&target=unit-7.example.org:81&debug=1", "", "unit-7.example.org", 81, "lab"},
        {"&&target=10.0.0.1&", "", "10.0.0.1", 80, "default"},
        {"target=10.0.0.1:65535", "", "10.0.0.1", 65535, "default"},
        {"", "parameter target is missing"},
        {"module=lab", "parameter target is missing"},
        {"target=a&target=b", "parameter target given more than once"},
        {"target=10.0.0.1&module=a&module=a", "parameter module given more than once"},
        {"target=10.0.0.1%zz", "malformed percent-encoding in the query"},
        {"target=10.0.0.1%4", "malformed percent-encoding in the query"},
        {"target=10.0.0.1%", "malformed percent-encoding in the query"},
        {"tar%get=1", "malformed percent-encoding in the query"},
        {"target=10.0.0.1%00", "a NUL byte in the query"},
        {std::string("target=10.0.0.1\0", 17), "a control character in the query"},
        {"target=10.0.0.1\r\nX: 1", "a control character in the query"},
        {"target=", "target is empty"},
        {"target=" + long_value, "target longer than 255 bytes"},
        {"target=" + std::string(100, 'a') + ".b", "target host longer than 99 characters"},
        {"target=http://10.0.0.1", "target must be HOST[:PORT], without a scheme"},
        {"target=[::1]:80", "target is an IPv6 address; the units are reached over IPv4"},
        {"target=fe80::1", "target is an IPv6 address; the units are reached over IPv4"},
        {"target=10.0.0.1:0", "target port is not a number 1..65535"},
        {"target=10.0.0.1:65536", "target port is not a number 1..65535"},
        {"target=10.0.0.1:", "target port is not a number 1..65535"},
        {"target=10.0.0.1:+80", "target port is not a number 1..65535"},
        {"target=10.0.0.1:123456", "target port is not a number 1..65535"},
        {"target=10.0.0.1:99999999999999999999999", "target port is not a number 1..65535"},
        {"target=:80", "target has no host"},
        {"target=10.0.0.256", "target host is neither a dotted IPv4 address nor a host name"},
        {"target=10.1.2", "target host is neither a dotted IPv4 address nor a host name"},
        {"target=a..b", "target host is neither a dotted IPv4 address nor a host name"},
        {"target=-a.b", "target host is neither a dotted IPv4 address nor a host name"},
        {"target=a+b", "target host is neither a dotted IPv4 address nor a host name"},
        {"target=user@10.0.0.1", "target host is neither a dotted IPv4 address nor a host name"},
        {"target=10.0.0.1/values.xml",
         "target host is neither a dotted IPv4 address nor a host name"},
        {"target=10.0.0.1%0d%0aX:1",
         "target host is neither a dotted IPv4 address nor a host name"},
        {"target=10.0.0.1&module=", "parameter module is not a module name"},
        {"target=10.0.0.1&module=a%2Fb", "parameter module is not a module name"},
        {"target=10.0.0.1&module=" + std::string(65, 'm'), "parameter module is not a module name"},
        {"target=x&" + std::string(4090, 'p'), "query longer than 4096 bytes"},
    };
    for (const query_case &c : cases) {
        SCOPED_TRACE(c.raw.substr(0, 80));
        probe_query query;
        std::string reason;
        const bool ok = parse_probe_query(c.raw, &query, &reason);
        if (c.reason.empty()) {
            ASSERT_TRUE(ok) << reason;
            EXPECT_EQ(query.target.host, c.host);
            EXPECT_EQ(query.target.port, c.port);
            EXPECT_EQ(query.module, c.module);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(reason, c.reason);
        }
    }
}

TEST(ExporterQuery, SplitsAndDecodesParameters) {
    std::vector<query_param> params;
    std::string reason;
    ASSERT_TRUE(parse_query("a=1+2&b&c=%C2%B0C&=x&d=e=f", &params, &reason)) << reason;
    ASSERT_EQ(params.size(), 5u);
    EXPECT_EQ(params[0].value, "1 2");
    EXPECT_EQ(params[1].name, "b");
    EXPECT_EQ(params[1].value, "");
    EXPECT_EQ(params[2].value,
              "\xC2\xB0"
              "C");
    EXPECT_EQ(params[3].name, "");
    EXPECT_EQ(params[4].value, "e=f");
    std::string many;
    for (int i = 0; i < 33; ++i) many += "p=1&";
    EXPECT_FALSE(parse_query(many, &params, &reason));
    EXPECT_EQ(reason, "more than 32 query parameters");
}

TEST(ExporterQuery, NumericTargetsAreMarked) {
    probe_target target;
    std::string reason;
    ASSERT_TRUE(parse_target("127.0.0.1:8080", &target, &reason));
    EXPECT_TRUE(target.numeric);
    EXPECT_FALSE(parse_target(std::string("192.0.2.1\0", 10), &target, &reason));
    EXPECT_EQ(reason, "target host is neither a dotted IPv4 address nor a host name");
    ASSERT_TRUE(parse_target("unit1", &target, &reason));
    EXPECT_FALSE(target.numeric);
    EXPECT_EQ(target.port, 80);
}

// ---- the probe deadline -------------------------------------------------------------------

TEST(ExporterDeadline, SmallerOfModuleTimeoutAndScrapeTimeoutLessOffset) {
    struct row {
        const char *header;
        double module;
        bool ok;
        double expected;
    };
    const row rows[] = {
        {nullptr, 10, true, 10}, {"15", 10, true, 10},   {"5", 10, true, 4.5},
        {"10.5", 10, true, 10},  {"0.4", 10, true, 0.4}, {"0.5", 10, true, 0.5},
        {"0", 10, false, 0},     {"-3", 10, false, 0},   {"abc", 10, false, 0},
        {"1e3", 10, false, 0},   {"", 10, false, 0},     {"1.2.3", 10, false, 0},
        {" 5", 10, false, 0},    {"inf", 10, false, 0},  {"nan", 10, false, 0},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.header != nullptr ? r.header : "(none)");
        double out = -1;
        EXPECT_EQ(probe_deadline(r.header, 0.5, r.module, &out), r.ok);
        if (r.ok) {
            EXPECT_DOUBLE_EQ(out, r.expected);
        }
    }
}

// ---- configuration ------------------------------------------------------------------------

bool no_files(const std::string &, std::string *, std::string *reason) {
    *reason = "cannot read";
    return false;
}

const char kFullConfig[] = R"(
modules:
  default:
  lab:
    timeout: 4s
    read_setup: no
  secured:
    basic_auth:
      username: admin
      password: "s3cret pass"
  from_file:
    basic_auth:
      username: reader
      password_file: secrets/reader
targets:
  - targets: ["192.0.2.10", "192.0.2.11:8080"]
    module: secured
    labels:
      site: berlin
      room: "Server room \"2\""
  - targets: [unit-3.example.org]
allowed_networks: [192.0.2.0/24, 10.1.2.3]
)";

TEST(ExporterConfig, ReadsModulesInventoryAndNetworks) {
    std::string asked;
    auto reader = [&](const std::string &path, std::string *contents, std::string *) {
        asked = path;
        *contents = "from the file";
        return true;
    };
    exporter_config config;
    std::string reason;
    ASSERT_TRUE(parse_config(kFullConfig, "/etc/tarvik", reader, &config, &reason)) << reason;
    ASSERT_EQ(config.modules.size(), 4u);
    EXPECT_DOUBLE_EQ(config.modules.at("default").timeout_s, 10);
    EXPECT_TRUE(config.modules.at("default").read_setup);
    EXPECT_TRUE(config.modules.at("default").username.empty());
    EXPECT_DOUBLE_EQ(config.modules.at("lab").timeout_s, 4);
    EXPECT_FALSE(config.modules.at("lab").read_setup);
    EXPECT_EQ(config.modules.at("secured").username, "admin");
    EXPECT_EQ(config.modules.at("secured").password, "s3cret pass");
    EXPECT_EQ(config.modules.at("from_file").password, "from the file");
    EXPECT_EQ(asked, "/etc/tarvik/secrets/reader");
    ASSERT_EQ(config.target_groups.size(), 2u);
    EXPECT_EQ(config.target_groups[0].targets,
              (std::vector<std::string>{"192.0.2.10", "192.0.2.11:8080"}));
    EXPECT_EQ(config.target_groups[0].module, "secured");
    ASSERT_EQ(config.target_groups[0].labels.size(), 2u);
    EXPECT_EQ(config.target_groups[0].labels[1].second, "Server room \"2\"");
    ASSERT_TRUE(config.allowed_networks.has_value());
    ASSERT_EQ(config.allowed_networks->size(), 2u);
    EXPECT_TRUE(network_allows(*config.allowed_networks, 0xC00002FE));   // 192.0.2.254
    EXPECT_FALSE(network_allows(*config.allowed_networks, 0xC0000302));  // 192.0.3.2
    EXPECT_TRUE(network_allows(*config.allowed_networks, 0x0A010203));   // 10.1.2.3
    EXPECT_FALSE(network_allows(*config.allowed_networks, 0x0A010204));
}

TEST(ExporterConfig, EmptyFileAndNoModulesGiveTheDefaultModule) {
    for (const char *text : {"", "# nothing\n", "targets: []\n"}) {
        exporter_config config;
        std::string reason;
        ASSERT_TRUE(parse_config(text, ".", no_files, &config, &reason)) << text << reason;
        ASSERT_EQ(config.modules.size(), 1u);
        EXPECT_EQ(config.modules.begin()->first, "default");
        EXPECT_FALSE(config.allowed_networks.has_value());
    }
}

TEST(ExporterConfig, RefusesBadFilesWithLineAndReason) {
    const std::pair<const char *, const char *> cases[] = {
        {"modules: [a, b]", "line 1: modules must be a mapping"},
        {"module:\n  a:\n", "line 1: unknown key \"module\" in the configuration"},
        {"modules:\n  a:\n    timeout: 10\n",
         "line 3: timeout of module \"a\" is not a duration above 0s and up to 5m"},
        {"modules:\n  a:\n    timeout: 0s\n",
         "line 3: timeout of module \"a\" is not a duration above 0s and up to 5m"},
        {"modules:\n  a:\n    timeout: 6m\n",
         "line 3: timeout of module \"a\" is not a duration above 0s and up to 5m"},
        {"modules:\n  a:\n    read_setup: maybe\n", "line 3: read_setup must be true or false"},
        {"modules:\n  a:\n    retries: 3\n", "line 3: unknown key \"retries\" in module \"a\""},
        {"modules:\n  a:\n  a:\n", "line 3: key \"a\" repeated in modules"},
        {"modules:\n  a b:\n",
         "line 2: module name is not 1..64 of letters, digits, '_', '-', '.'"},
        {"modules: {}\n", "line 1: modules is empty"},
        {"modules:\n  a:\n    basic_auth:\n      password: x\n",
         "line 4: basic_auth of module \"a\": username is missing or empty"},
        {"modules:\n  a:\n    basic_auth:\n      username: u\n      password: x\n      "
         "password_file: f\n",
         "line 6: basic_auth of module \"a\": password and password_file both given"},
        {"modules:\n  a:\n    basic_auth:\n      username: u:v\n",
         "line 4: username holds ':' (Basic authorization cannot carry it)"},
        {"modules:\n  a:\n    basic_auth:\n      username: u\n      password_file: f\n",
         "line 5: password_file: cannot read"},
        {"targets:\n  - targets: [\"10.0.0.1:99999\"]\n",
         "line 2: target port is not a number 1..65535"},
        {"targets:\n  - labels: {a: b}\n", "line 2: a target group has no targets"},
        {"targets:\n  - targets: [a]\n    labels: {__x: b}\n",
         "line 3: label name is not [a-zA-Z_][a-zA-Z0-9_]* or starts with __"},
        {"targets:\n  - targets: [a]\n    labels: {1x: b}\n",
         "line 3: label name is not [a-zA-Z_][a-zA-Z0-9_]* or starts with __"},
        {"targets:\n  - targets: [a]\n    module: lab\n",
         "a target group names module \"lab\", which is not configured"},
        {"targets:\n  - targets: [a]\n    labels: {a: [1]}\n",
         "line 3: a label value must be a single value"},
        {"allowed_networks: []\n",
         "line 1: allowed_networks is empty: no target could be probed (leave the key out to "
         "allow every target)"},
        {"allowed_networks: [10.0.0.0/33]\n",
         "line 1: a network is not ADDRESS/BITS (IPv4, for example 10.0.0.0/8)"},
        {"allowed_networks: [\"::1/128\"]\n",
         "line 1: a network is not ADDRESS/BITS (IPv4, for example 10.0.0.0/8)"},
        {"modules: {a: [}\n", "line 1, column 15: illegal flow end"},
        {"- a\n- b\n", "line 1: the configuration must be a mapping"},
    };
    for (const auto &[text, expected] : cases) {
        SCOPED_TRACE(text);
        exporter_config config;
        std::string reason;
        EXPECT_FALSE(parse_config(text, ".", no_files, &config, &reason));
        EXPECT_EQ(reason, expected);
    }
}

TEST(ExporterConfig, CredentialsNeverInAReason) {
    const std::string secret = "Hunter2-secret";
    const std::string texts[] = {
        "modules:\n  a:\n    basic_auth:\n      username: u\n      password: [" + secret + "]\n",
        "modules:\n  a:\n    basic_auth:\n      username: u\n      password: " + secret +
            std::string(100, 'x') + "\n",
        "modules:\n  a:\n    basic_auth:\n      username: u\n      password: \"" + secret +
            "\\n\"\n",
        "modules:\n  a:\n    basic_auth: {username: u, password: " + secret + ", bad: 1}\n",
        "modules:\n  a:\n    basic_auth: {username: u, password: \"" + secret + "\n",
    };
    for (const std::string &text : texts) {
        exporter_config config;
        std::string reason;
        EXPECT_FALSE(parse_config(text, ".", no_files, &config, &reason));
        EXPECT_EQ(reason.find(secret), std::string::npos) << reason;
        EXPECT_FALSE(reason.empty());
    }
    // The YAML parser names the character of a bad escape; that part is left out.
    exporter_config escaped;
    std::string why;
    EXPECT_FALSE(
        parse_config("modules:\n  a:\n    basic_auth: {username: u, password: \"ab\\qZ\"}\n", ".",
                     no_files, &escaped, &why));
    EXPECT_EQ(why, "line 3, column 46: unknown escape character");
    // From a file: too long, or with a line break inside, and the contents never quoted.
    auto reader = [&](const std::string &, std::string *contents, std::string *) {
        *contents = secret + "\n" + secret;
        return true;
    };
    exporter_config config;
    std::string reason;
    EXPECT_FALSE(parse_config("modules:\n  a:\n    basic_auth: {username: u, password_file: p}\n",
                              ".", reader, &config, &reason));
    EXPECT_EQ(reason, "line 3: the password in password_file holds a control character");
}

TEST(ExporterConfig, NetworksAndUtf8) {
    ipv4_network network;
    ASSERT_TRUE(parse_ipv4_network("10.1.2.3/8", &network));
    EXPECT_EQ(network.address, 0x0A000000u);
    EXPECT_EQ(network.mask, 0xFF000000u);
    ASSERT_TRUE(parse_ipv4_network("0.0.0.0/0", &network));
    EXPECT_TRUE(network_allows({network}, 0xFFFFFFFF));
    for (const char *bad :
         {"10.0.0.0/", "10.0.0.0/-1", "10.0.0/8", "10.0.0.0/8/8", "a/8", "10.0.0.0/ 8"})
        EXPECT_FALSE(parse_ipv4_network(bad, &network)) << bad;
    EXPECT_TRUE(
        valid_utf8("plain \xC2\xB0"
                   "C \xE2\x82\xAC \xF0\x9F\x98\x80"));
    for (const char *bad : {"\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xC2",
                            "\xE2\x82", "\x80", "\xFF"})
        EXPECT_FALSE(valid_utf8(bad)) << bad;
}

// ---- documents ----------------------------------------------------------------------------

TEST(ExporterPages, ServiceDiscoveryJson) {
    exporter_config config;
    std::string reason;
    ASSERT_TRUE(parse_config(
        "modules: {lab: {}}\n"
        "targets:\n"
        "  - targets: [\"192.0.2.10\", \"192.0.2.11:8080\"]\n"
        "    module: lab\n"
        "    labels: {site: \"Berlin \\\"Mitte\\\"\\\\\", note: \"tab\\there\\u0001\"}\n"
        "  - targets: [unit-3]\n",
        ".", no_files, &config, &reason))
        << reason;
    EXPECT_EQ(render_sd_json(config),
              "[\n"
              "  {\"targets\": [\"192.0.2.10\", \"192.0.2.11:8080\"], \"labels\": "
              "{\"__param_module\": \"lab\", \"site\": \"Berlin \\\"Mitte\\\"\\\\\", "
              "\"note\": \"tab\\there\\u0001\"}},\n"
              "  {\"targets\": [\"unit-3\"], \"labels\": {}}\n"
              "]\n");
    EXPECT_EQ(render_sd_json(builtin_config()), "[]\n");
}

TEST(ExporterPages, LandingPageEscapesAndLinks) {
    exporter_config config = builtin_config();
    config.source = "/etc/<tarvik>.yml";
    const std::string page = render_landing_page(config, "127.0.0.1:10942");
    for (const char *part : {"href=\"metrics\"", "href=\"sd\"", "href=\"-/healthy\"",
                             "action=\"probe\"", "/etc/&lt;tarvik&gt;.yml",
                             "url: http://127.0.0.1:10942/sd", "replacement: 127.0.0.1:10942",
                             "target_label: __param_target", "<code>default</code>: time-out 10s"})
        EXPECT_NE(page.find(part), std::string::npos) << part;
    EXPECT_EQ(page.find("<tarvik>"), std::string::npos);
}

TEST(ExporterLog, ValuesCannotBreakTheLine) {
    const std::pair<const char *, const char *> cases[] = {
        {"plain", "plain"},
        {"two words", "\"two words\""},
        {"a=b", "\"a=b\""},
        {"", "\"\""},
        {"line\nbreak\r\"quoted\"\\", "\"line\\nbreak\\r\\\"quoted\\\"\\\\\""},
        {"bell\x07", "\"bell\\x07\""},
    };
    for (const auto &[in, out] : cases) EXPECT_EQ(logfmt_value(in), out);
}

}  // namespace
}  // namespace exporter
