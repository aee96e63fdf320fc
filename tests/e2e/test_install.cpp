// cmake --install into a temporary prefix, then programs built against the installed
// library talk to the installed stand-in device: a C program through pkg-config (shared and
// static), and C and C++ programs of a CMake project through find_package(qvxml CONFIG).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace e2e {
using namespace qvtest;
namespace {

// Runs `command` with /bin/sh, its standard output and error (in the order written) into the
// file `log`; killed after `limit_s` seconds, which is a test failure. The exit status, or -1
// when it ended by a signal or was killed.
int shell(const std::string &command, const std::string &log, int limit_s = 120) {
    run_options options;
    options.merge_stderr = true;
    const run_result r = run({"/bin/sh", "-c", command}, std::chrono::seconds(limit_s), options);
    EXPECT_FALSE(r.timed_out) << "killed after " << limit_s << " s: " << command;
    EXPECT_TRUE(write_file(log, r.out)) << log;
    return r.exit_code;
}

// Installs the build tree into `prefix`; false (with the output added to the test) when it
// fails.
bool install_into(const std::string &prefix, const std::string &log) {
    const int code = shell(std::string("'") + QV_CMAKE_COMMAND + "' --install '" + binary_dir() +
                               "' --prefix '" + prefix + "'",
                           log);
    EXPECT_EQ(code, 0) << read_file(log);
    return code == 0;
}

TEST(Install, PutsEverythingInPlaceAndBuildsAClient) {
    temp_dir dir;
    const std::string prefix = dir.file("prefix");
    const std::string log = dir.file("log");
    ASSERT_TRUE(install_into(prefix, log));

    const std::string libdir = prefix + "/" + QV_INSTALL_LIBDIR;
    for (const std::string &file :
         {prefix + "/bin/tarvik", prefix + "/bin/tarvik-device", libdir + "/libqvxml.a",
          libdir + "/libqvxml.so", libdir + "/pkgconfig/qvxml.pc", prefix + "/include/qvxml.h",
          prefix + "/include/qvxml_errors.def", prefix + "/include/qvxml_setup_fields.def",
          prefix + "/include/qvxml_setup_sets.def", prefix + "/include/qvxml_values_fields.def",
          prefix + "/include/qvxml_values_sets.def", prefix + "/share/man/man1/tarvik.1",
          prefix + "/share/man/man1/tarvik-device.1"})
        EXPECT_TRUE(std::filesystem::exists(file)) << file;
    // Each installed program runs from the prefix and names this version; each has its
    // manual page and bash completion. A plugin ends UNKNOWN (3) when it checked nothing.
    struct installed_program {
        std::string name, path, version_option;
        int exit_code;
    };
    std::vector<installed_program> programs = {
        {"tarvik", prefix + "/bin/tarvik", "--version", 0},
#ifdef QV_HAVE_CHECK
        // The monitoring plugin goes where the plugins are (/usr/lib/nagios/plugins under
        // /usr).
        {"check_tarvik", prefix + "/lib/nagios/plugins/check_tarvik", "-V", 3},
#endif
#ifdef QV_HAVE_EXPORTER
        {"tarvik_exporter", prefix + "/bin/tarvik_exporter", "--version", 0},
#endif
    };
    for (const installed_program &p : programs) {
        SCOPED_TRACE(p.name);
        EXPECT_TRUE(std::filesystem::exists(prefix + "/share/man/man1/" + p.name + ".1"));
        EXPECT_TRUE(
            std::filesystem::exists(prefix + "/share/bash-completion/completions/" + p.name));
        EXPECT_EQ(shell("'" + p.path + "' " + p.version_option, log), p.exit_code)
            << read_file(log);
        const std::string out = read_file(log);
        EXPECT_TRUE(out.rfind(p.name + " 1.0.5", 0) == 0 ||
                    out.rfind(p.name + ", version 1.0.5", 0) == 0)
            << out;
    }
#ifdef QV_HAVE_EXPORTER
    // The exporter's unit names the program and the configuration of this prefix.
    const std::string unit = read_file(prefix + "/lib/systemd/system/tarvik-exporter.service");
    EXPECT_NE(unit.find("\nExecStart=" + prefix + "/bin/tarvik_exporter --config.file=" + prefix +
                        "/etc/tarvik_exporter/config.yml\n"),
              std::string::npos)
        << unit;
    const std::string config = prefix + "/etc/tarvik_exporter/config.yml";
    EXPECT_NE(read_file(config).find("\nmodules:\n"), std::string::npos);
    // Installing again keeps a configuration the administrator changed.
    ASSERT_TRUE(write_file(config, "modules: {}\n"));
    ASSERT_TRUE(install_into(prefix, log));
    EXPECT_EQ(read_file(config), "modules: {}\n");
#endif

    // The installed man page is well-formed roff and documents the exit codes.
    EXPECT_EQ(shell("groff -man -ww -z '" + prefix + "/share/man/man1/tarvik.1'", log), 0)
        << read_file(log);
    EXPECT_NE(read_file(prefix + "/share/man/man1/tarvik.1").find(".SH EXIT STATUS"),
              std::string::npos);

    const std::string pkg = "PKG_CONFIG_PATH='" + libdir + "/pkgconfig' pkg-config ";
    const std::string source = source_dir() + "/tests/e2e/install_client.c";
    const std::string cc = std::string("'") + QV_C_COMPILER + "' -std=c99 -Wall -Wextra -Werror " +
                           QV_SANITIZE_FLAGS + " '" + source + "' ";
    ASSERT_EQ(shell(cc + "$(" + pkg + "--cflags --libs qvxml) -Wl,-rpath,'" + libdir + "' -o '" +
                        dir.file("client_shared") + "'",
                    log),
              0)
        << read_file(log);
    // Static: the archive instead of the shared object, with the private dependencies.
    ASSERT_EQ(shell(cc + "$(" + pkg + "--cflags qvxml) $(" + pkg +
                        "--static --libs qvxml | sed 's/-lqvxml/-Wl,-Bstatic -lqvxml "
                        "-Wl,-Bdynamic/') -o '" +
                        dir.file("client_static") + "'",
                    log),
              0)
        << read_file(log);
    EXPECT_NE(shell("ldd '" + dir.file("client_static") + "' | grep -q libqvxml", log), 0);

    // The installed device serves both clients.
    device dev({}, prefix + "/bin/tarvik-device");
    ASSERT_TRUE(dev.running());
    for (const char *client : {"client_shared", "client_static"}) {
        ASSERT_EQ(shell("'" + dir.file(client) + "' " + dev.port_text(), log), 0) << client << "\n"
                                                                                  << read_file(log);
        const std::string out = read_file(log);
        EXPECT_EQ(out.rfind("Socket connect failure|dGFydmlr\nsensors ", 0), 0u) << out;
    }
    EXPECT_EQ(shell("'" + prefix + "/bin/tarvik-device' --help | head -1", log), 0);
    EXPECT_EQ(read_file(log).rfind("Usage: tarvik-device", 0), 0u) << read_file(log);
    EXPECT_EQ(shell("'" + prefix + "/bin/tarvik' --version | head -1", log), 0);
    EXPECT_EQ(read_file(log).rfind("tarvik 1.0.5", 0), 0u) << read_file(log);
}

// The compilers and sanitizer flags of this build, for a CMake project configured here.
std::string consumer_cmake_options() {
    std::string flags = QV_SANITIZE_FLAGS;
    return std::string("-DCMAKE_C_COMPILER='") + QV_C_COMPILER + "' -DCMAKE_CXX_COMPILER='" +
           QV_CXX_COMPILER + "' -DCMAKE_C_FLAGS='" + flags + "' -DCMAKE_CXX_FLAGS='" + flags +
           "' -DCMAKE_EXE_LINKER_FLAGS='" + flags + "'";
}

TEST(Install, CMakePackageGivesSharedAndStaticTargetsToCAndCxx) {
    temp_dir dir;
    const std::string prefix = dir.file("prefix");
    const std::string log = dir.file("log");
    ASSERT_TRUE(install_into(prefix, log));
    const std::string cmake = std::string("'") + QV_CMAKE_COMMAND + "' ";
    const std::string project = source_dir() + "/tests/e2e/consumer";
    const std::string build = dir.file("build");

    // Version 1.0 is satisfied by 1.0.5 (same major version).
    ASSERT_EQ(shell(cmake + "-S '" + project + "' -B '" + build + "' -DCMAKE_PREFIX_PATH='" +
                        prefix + "' -DQVXML_VERSION=1.0 " + consumer_cmake_options(),
                    log),
              0)
        << read_file(log);
    EXPECT_NE(read_file(log).find("qvxml 1.0.5 from " + prefix + "/" + QV_INSTALL_LIBDIR +
                                  "/cmake/qvxml"),
              std::string::npos)
        << read_file(log);
    ASSERT_EQ(shell(cmake + "--build '" + build + "' -j 2", log), 0) << read_file(log);

    // The static programs carry the library; the shared ones load it from the prefix.
    for (const char *program : {"c_static", "cxx_static"})
        EXPECT_NE(shell("ldd '" + build + "/" + program + "' | grep -q libqvxml", log), 0)
            << program;
    for (const char *program : {"c_shared", "cxx_shared"}) {
        ASSERT_EQ(shell("ldd '" + build + "/" + program + "' | grep libqvxml.so.1", log), 0)
            << program;
        EXPECT_NE(read_file(log).find(prefix + "/" + QV_INSTALL_LIBDIR + "/libqvxml.so.1"),
                  std::string::npos)
            << program << ": " << read_file(log);
    }

    device dev({}, prefix + "/bin/tarvik-device");
    ASSERT_TRUE(dev.running());
    for (const char *program : {"c_shared", "c_static"}) {
        ASSERT_EQ(shell("'" + build + "/" + program + "' " + dev.port_text(), log), 0)
            << program << "\n"
            << read_file(log);
        EXPECT_EQ(read_file(log).rfind("Socket connect failure|dGFydmlr\nsensors ", 0), 0u)
            << program << ": " << read_file(log);
    }
    for (const char *program : {"cxx_shared", "cxx_static"}) {
        ASSERT_EQ(shell("'" + build + "/" + program + "'", log), 0) << program << "\n"
                                                                    << read_file(log);
        EXPECT_EQ(read_file(log), "Socket connect failure|dGFydmlr\n") << program;
    }

    // A project that enables only C links the static library as well (the C++ runtime comes
    // with the target).
    const std::string c_build = dir.file("build_c");
    ASSERT_EQ(shell(cmake + "-S '" + project + "' -B '" + c_build + "' -DCMAKE_PREFIX_PATH='" +
                        prefix + "' -DQVXML_LANGUAGES=C " + consumer_cmake_options() + " && " +
                        cmake + "--build '" + c_build + "' -j 2",
                    log),
              0)
        << read_file(log);
    ASSERT_EQ(shell("'" + c_build + "/c_static' " + dev.port_text(), log), 0) << read_file(log);
    EXPECT_EQ(read_file(log).rfind("Socket connect failure|dGFydmlr\nsensors ", 0), 0u)
        << read_file(log);

    // The version file answers find_package(qvxml VERSION) as CMake asks it: the same major
    // version and not newer than 1.0.5.
    const std::string version_file =
        prefix + "/" + QV_INSTALL_LIBDIR + "/cmake/qvxml/qvxmlConfigVersion.cmake";
    const std::string script = dir.file("version.cmake");
    ASSERT_TRUE(write_file(script, "include(\"" + version_file +
                                       "\")\n"
                                       "message(\"${PACKAGE_FIND_VERSION} "
                                       "${PACKAGE_VERSION_COMPATIBLE}\")\n"));
    const struct {
        const char *asked;
        const char *compatible;
    } versions[] = {{"1", "TRUE"},    {"1.0.5", "TRUE"}, {"1.0.6", "FALSE"},
                    {"0.9", "FALSE"}, {"2", "FALSE"},    {"2.0.0", "FALSE"}};
    for (const auto &v : versions) {
        const std::string asked = v.asked;
        const std::string major = asked.substr(0, asked.find('.'));
        ASSERT_EQ(shell(cmake + "-DPACKAGE_FIND_VERSION=" + v.asked +
                            " -DPACKAGE_FIND_VERSION_MAJOR=" + major + " -P '" + script + "'",
                        log),
                  0)
            << read_file(log);
        EXPECT_EQ(read_file(log), std::string(v.asked) + " " + v.compatible + "\n") << v.asked;
    }
}

}  // namespace
}  // namespace e2e
