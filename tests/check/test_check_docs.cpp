// The example command definitions and the man page, checked by the tools that read them:
// icinga2 (daemon -C) for the CheckCommand, nagios4 (-v) for the command definitions, groff
// for the man page. The Nagios definitions are also run, macros expanded, against the
// stand-in unit. A checker that is not installed skips its test and names the package.
#include <gtest/gtest.h>
#include <unistd.h>

#include "support.h"

namespace {

using namespace std::chrono_literals;

std::string example(const std::string &name) {
    return qvtest::source_dir() + "/docs/examples/" + name;
}

std::string user_name() {
    const qvtest::run_result r = qvtest::run({"/usr/bin/id", "-un"}, 10s);
    return r.out.substr(0, r.out.find('\n'));
}
std::string group_name() {
    const qvtest::run_result r = qvtest::run({"/usr/bin/id", "-gn"}, 10s);
    return r.out.substr(0, r.out.find('\n'));
}

TEST(Examples, Icinga2AcceptsTheCheckCommand) {
    const char icinga2[] = "/usr/sbin/icinga2";
    if (access(icinga2, X_OK) != 0) GTEST_SKIP() << "icinga2 missing: install icinga2-bin";
    qvtest::temp_dir dir;
    // A host and services that use every variable of the command.
    const std::string config = "const PluginDir = \"" + qvtest::binary_dir() + "/src/check\"\n"
                               "include <itl>\n"
                               "include \"" + example("check_tarvik.icinga2.conf") + "\"\n"
                               "object Host \"unit\" { check_command = \"dummy\"; address = \"127.0.0.1\" }\n"
                               "object Service \"all\" { host_name = \"unit\"; check_command = \"tarvik\" }\n"
                               "object Service \"one\" {\n"
                               "  host_name = \"unit\"; check_command = \"tarvik\"\n"
                               "  vars.tarvik_port = 8080; vars.tarvik_timeout = 10\n"
                               "  vars.tarvik_user = \"monitor\"; vars.tarvik_password_file = \"/etc/pw\"\n"
                               "  vars.tarvik_sensors = [ \"3\", \"Rack temp\" ]; vars.tarvik_inputs = true\n"
                               "  vars.tarvik_outputs = true\n"
                               "  vars.tarvik_warning = [ \"18:27\" ]; vars.tarvik_critical = [ \"3=~:30\" ]\n"
                               "}\n";
    ASSERT_TRUE(qvtest::write_file(dir.file("icinga2.conf"), config));
    const std::string state = dir.file("state");
    ASSERT_EQ(qvtest::run({"/bin/mkdir", state}, 10s).exit_code, 0);
    const qvtest::run_result r =
        qvtest::run({icinga2, "daemon", "-C", "-c", dir.file("icinga2.conf"),
                     "-DConfiguration.CacheDir=" + state, "-DConfiguration.DataDir=" + state,
                     "-DConfiguration.LogDir=" + state, "-DConfiguration.InitRunDir=" + state,
                     "-DRunAsUser=" + user_name(), "-DRunAsGroup=" + group_name()},
                    60s, {true});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("Finished validating the configuration"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Instantiated 2 Services"), std::string::npos) << r.out;
}

// The Nagios definitions: checked by nagios4 within a minimal configuration, then each
// command line run with its macros expanded.
TEST(Examples, NagiosAcceptsAndRunsTheCommandDefinitions) {
    const char nagios[] = "/usr/sbin/nagios4";
    if (access(nagios, X_OK) != 0) GTEST_SKIP() << "nagios4 missing: install nagios4-core";
    qvtest::temp_dir dir;
    const std::string objects =
        "define timeperiod {\n timeperiod_name 24x7\n alias always\n sunday 00:00-24:00\n}\n"
        "define command {\n command_name notify_none\n command_line /bin/true\n}\n"
        "define contact {\n contact_name nobody\n host_notification_period 24x7\n"
        " service_notification_period 24x7\n host_notification_options n\n"
        " service_notification_options n\n host_notification_commands notify_none\n"
        " service_notification_commands notify_none\n}\n"
        "define host {\n host_name unit\n address 127.0.0.1\n max_check_attempts 1\n"
        " check_period 24x7\n contacts nobody\n notification_interval 0\n"
        " notification_period 24x7\n}\n";
    std::string services;
    for (const char *command :
         {"check_tarvik!80", "check_tarvik_sensor!80!Inlet temp!18:27!15:32",
          "check_tarvik_auth!80!monitor!/etc/pw"})
        services += std::string("define service {\n host_name unit\n service_description ") +
                    std::string(command).substr(0, std::string(command).find('!')) +
                    "\n check_command " + command +
                    "\n max_check_attempts 1\n check_interval 5\n retry_interval 1\n"
                    " check_period 24x7\n contacts nobody\n notification_interval 0\n"
                    " notification_period 24x7\n}\n";
    ASSERT_TRUE(qvtest::write_file(dir.file("objects.cfg"), objects + services));
    ASSERT_TRUE(qvtest::write_file(dir.file("resource.cfg"),
                                   "$USER1$=" + qvtest::binary_dir() + "/src/check\n"));
    const std::string main_cfg = "cfg_file=" + example("check_tarvik.nagios.cfg") + "\n" +
                                 "cfg_file=" + dir.file("objects.cfg") + "\n" +
                                 "resource_file=" + dir.file("resource.cfg") + "\n" +
                                 "check_result_path=" + dir.path() + "\n" +
                                 "lock_file=" + dir.file("lock") + "\n" +
                                 "temp_file=" + dir.file("tmp") + "\n" +
                                 "log_file=" + dir.file("log") + "\n" +
                                 "status_file=" + dir.file("status") + "\n" +
                                 "object_cache_file=" + dir.file("cache") + "\n" +
                                 "nagios_user=" + user_name() + "\n" +
                                 "nagios_group=" + group_name() + "\n" +
                                 "illegal_macro_output_chars=`~$&|'\"<>\n";
    ASSERT_TRUE(qvtest::write_file(dir.file("nagios.cfg"), main_cfg));
    const qvtest::run_result r = qvtest::run({nagios, "-v", dir.file("nagios.cfg")}, 60s, {true});
    EXPECT_EQ(r.exit_code, 0) << r.out;
    EXPECT_NE(r.out.find("Total Errors:   0"), std::string::npos) << r.out;

    // Each command line as Nagios runs it (through the shell), macros expanded.
    qvtest::device unit;
    qvtest::device protected_unit({"--auth", "monitor:pw"});
    ASSERT_TRUE(unit.running() && protected_unit.running());
    ASSERT_TRUE(qvtest::write_file(dir.file("pw"), "pw\n"));
    const std::string cfg = qvtest::read_file(example("check_tarvik.nagios.cfg"));
    struct expansion {
        const char *command;
        std::vector<std::string> args;
        const char *status;
    } runs[] = {
        {"check_tarvik", {unit.port_text()}, "TARVIK CRITICAL - 1 of 5 sensors, 1 of 4 inputs"},
        {"check_tarvik_sensor", {unit.port_text(), "Inlet temp", "18:27", "15:32"},
         "TARVIK WARNING - Inlet temp 31.4 \xC2\xB0" "C (warning 18:27)"},
        {"check_tarvik_auth", {protected_unit.port_text(), "monitor", dir.file("pw")},
         "TARVIK CRITICAL - 1 of 5 sensors, 1 of 4 inputs"},
    };
    for (const expansion &e : runs) {
        const std::string key = std::string("command_name    ") + e.command + "\n";
        const size_t at = cfg.find(key);
        ASSERT_NE(at, std::string::npos) << e.command;
        const size_t line_at = cfg.find("command_line", at) + std::string("command_line").size();
        std::string line = cfg.substr(line_at, cfg.find('\n', line_at) - line_at);
        auto expand = [&](const std::string &macro, const std::string &value) {
            for (size_t p = line.find(macro); p != std::string::npos; p = line.find(macro))
                line.replace(p, macro.size(), value);
        };
        expand("$USER1$", qvtest::binary_dir() + "/src/check");
        expand("$HOSTADDRESS$", "127.0.0.1");
        for (size_t i = 0; i < e.args.size(); ++i)
            expand("$ARG" + std::to_string(i + 1) + "$", e.args[i]);
        const qvtest::run_result r = qvtest::run({"/bin/sh", "-c", line}, 20s);
        EXPECT_EQ(r.out.rfind(e.status, 0), 0u) << line << "\n" << r.out;
    }
}

TEST(ManPage, IsWellFormedAndDocumentsTheExitCodes) {
    if (access("/usr/bin/groff", X_OK) != 0) GTEST_SKIP() << "groff missing: install groff-base";
    const std::string page = qvtest::source_dir() + "/docs/check_tarvik.1";
    const qvtest::run_result r = qvtest::run({"/usr/bin/groff", "-man", "-ww", "-z", page}, 30s);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string text = qvtest::read_file(page);
    for (const char *section : {".SH EXIT STATUS", ".SH RANGES", ".SH OUTPUT", ".SH OPTIONS"})
        EXPECT_NE(text.find(section), std::string::npos) << section;
}

}  // namespace
