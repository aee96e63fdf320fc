// The Debian packages cpack makes from this build tree (packaging/). Package.Build makes them
// in QV_PACKAGE_DIR; the other tests read them from there (a CTest fixture: running any of
// them alone makes the packages first).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"
#ifdef QV_HAVE_EXPORTER
#include <signal.h>

#include <regex>

#include "http_client.h"
#include "process.h"
#endif

namespace {

using namespace std::chrono_literals;
using qvtest::read_file;
using qvtest::temp_dir;

const std::string kVersion = QV_VERSION;
const std::string kLibDir = std::string("usr/") + QV_INSTALL_LIBDIR;

// The full path of `name` found in PATH; empty when it is not installed.
std::string tool(const std::string &name) {
    const char *path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// Runs a program found in PATH (or given by its path) and returns its result; a time-out
// is a test failure.
qvtest::run_result run(std::vector<std::string> argv, std::chrono::milliseconds limit = 60s) {
    if (argv[0].find('/') == std::string::npos) argv[0] = tool(argv[0]);
    qvtest::run_result r = qvtest::run(argv, limit);
    EXPECT_FALSE(r.timed_out) << argv[0] << " did not end within " << limit.count() << " ms";
    return r;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

struct expected_package {
    std::string name;  // the Package field, and the file name's start
    std::string section;
    std::vector<std::string> files;    // paths in the package, without the leading "./"
    std::vector<std::string> depends;  // entries of the Depends field (name, or name and version)
};

// The packages this build tree makes and what each must hold.
std::vector<expected_package> expected_packages() {
    std::vector<expected_package> all = {
        {"tarvik",
         "net",
         {"usr/bin/tarvik", "usr/bin/tarvik-device", "usr/share/man/man1/tarvik.1.gz",
          "usr/share/man/man1/tarvik-device.1.gz", "usr/share/bash-completion/completions/tarvik"},
         {"libc6", "libstdc++6", "libxml2"}},
        {"libqvxml1",
         "libs",
         {kLibDir + "/libqvxml.so.1", kLibDir + "/libqvxml.so." + kVersion},
         {"libc6", "libstdc++6", "libxml2"}},
        {"libqvxml-dev",
         "libdevel",
         {"usr/include/qvxml.h", "usr/include/qvxml_errors.def",
          "usr/include/qvxml_setup_fields.def", "usr/include/qvxml_setup_sets.def",
          "usr/include/qvxml_values_fields.def", "usr/include/qvxml_values_sets.def",
          kLibDir + "/libqvxml.a", kLibDir + "/libqvxml.so", kLibDir + "/pkgconfig/qvxml.pc",
          kLibDir + "/cmake/qvxml/qvxmlConfig.cmake",
          kLibDir + "/cmake/qvxml/qvxmlConfigVersion.cmake",
          kLibDir + "/cmake/qvxml/qvxmlTargets.cmake"},
         {"libqvxml1 (= " + kVersion + ")", "libxml2-dev"}},
    };
#ifdef QV_HAVE_EXPORTER
    all.push_back(
        {"tarvik-exporter",
         "net",
         {"usr/bin/tarvik_exporter", "usr/lib/systemd/system/tarvik-exporter.service",
          "etc/tarvik_exporter/config.yml", "usr/share/bash-completion/completions/tarvik_exporter",
          "usr/share/man/man1/tarvik_exporter.1.gz"},
         // The libraries' package names carry their ABI versions, which differ between
         // releases.
         {"libc6", "libstdc++6", "libxml2", "procps", "libcivetweb*", "libyaml-cpp*",
          "libprometheus-cpp-core*"}});
#endif
#ifdef QV_HAVE_CHECK
    all.push_back({"tarvik-check",
                   "net",
                   {"usr/lib/nagios/plugins/check_tarvik",
                    "usr/share/bash-completion/completions/check_tarvik",
                    "usr/share/man/man1/check_tarvik.1.gz"},
                   {"libc6", "libstdc++6", "libxml2"}});
#endif
    for (expected_package &p : all) {
        p.files.push_back("usr/share/doc/" + p.name + "/copyright");
        p.files.push_back("usr/share/doc/" + p.name + "/changelog.gz");
    }
    return all;
}

std::string architecture() {
    static const std::string arch = [] {
        std::string out = run({"dpkg", "--print-architecture"}).out;
        out.erase(out.find_last_not_of('\n') + 1);
        return out;
    }();
    return arch;
}

std::string deb_of(const std::string &name) {
    return std::string(QV_PACKAGE_DIR) + "/" + name + "_" + kVersion + "_" + architecture() +
           ".deb";
}

// The control fields of a package (continuation lines joined to their field).
std::map<std::string, std::string> control_fields(const std::string &deb) {
    std::map<std::string, std::string> fields;
    std::string last;
    for (const std::string &line : lines_of(run({"dpkg-deb", "--field", deb}).out)) {
        if (!line.empty() && line[0] == ' ' && !last.empty()) {
            fields[last] += "\n" + line;
        } else if (const size_t colon = line.find(": "); colon != std::string::npos) {
            last = line.substr(0, colon);
            fields[last] = line.substr(colon + 2);
        }
    }
    return fields;
}

struct entry {
    std::string mode;  // "-rwxr-xr-x", "drwxr-xr-x", "lrwxrwxrwx"
    std::string owner;
};

// The members of a package by path (without "./"; directories end with "/").
std::map<std::string, entry> contents(const std::string &deb) {
    std::map<std::string, entry> members;
    for (const std::string &line : lines_of(run({"dpkg-deb", "--contents", deb}).out)) {
        std::istringstream in(line);
        std::string mode, owner, size, date, time, path;
        in >> mode >> owner >> size >> date >> time >> path;
        if (path.rfind("./", 0) == 0) path.erase(0, 2);
        if (!path.empty()) members[path] = {mode, owner};
    }
    return members;
}

// The items of a Depends field ("a (>= 1), b | c"), one per comma.
std::vector<std::string> depends_items(const std::string &field) {
    std::vector<std::string> items;
    std::istringstream in(field);
    for (std::string item; std::getline(in, item, ',');) {
        item.erase(0, item.find_first_not_of(' '));
        items.push_back(item);
    }
    return items;
}

// True when `items` holds `wanted`: the same text, (for a bare name) that name with a
// version, or (for "name*") a name that starts so.
bool names(const std::vector<std::string> &items, const std::string &wanted) {
    return std::any_of(items.begin(), items.end(), [&](const std::string &item) {
        if (!wanted.empty() && wanted.back() == '*')
            return item.rfind(wanted.substr(0, wanted.size() - 1), 0) == 0;
        return item == wanted ||
               (wanted.find(' ') == std::string::npos && item.rfind(wanted + " (", 0) == 0);
    });
}

// Unpacks every package into `root`; false when one fails.
bool unpack_all(const std::string &root) {
    for (const expected_package &p : expected_packages()) {
        const qvtest::run_result r = run({"dpkg-deb", "--extract", deb_of(p.name), root});
        if (r.exit_code != 0) {
            ADD_FAILURE() << "dpkg-deb --extract " << p.name << ": " << r.err;
            return false;
        }
    }
    return true;
}

TEST(Package, Build) {
    if (tool("dpkg-deb").empty() || tool("dpkg-shlibdeps").empty() || tool("file").empty())
        GTEST_SKIP() << "dpkg-deb, dpkg-shlibdeps (dpkg-dev) or file is not installed: no "
                        "packages";
    std::filesystem::remove_all(QV_PACKAGE_DIR);
    const qvtest::run_result r =
        run({QV_CPACK_COMMAND, "-G", "DEB", "--config", qvtest::binary_dir() + "/CPackConfig.cmake",
             "-B", QV_PACKAGE_DIR},
            600s);
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;

    // Exactly the expected packages.
    std::set<std::string> made, expected;
    for (const auto &file : std::filesystem::directory_iterator(QV_PACKAGE_DIR))
        if (file.path().extension() == ".deb") made.insert(file.path().string());
    for (const expected_package &p : expected_packages()) expected.insert(deb_of(p.name));
    EXPECT_EQ(made, expected);
}

// The packages need dpkg-shlibdeps (dpkg-dev) and file to be made.
#define SKIP_WITHOUT_PACKAGES()                                 \
    if (tool("dpkg-shlibdeps").empty() || tool("file").empty()) \
    GTEST_SKIP() << "dpkg-dev or file is not installed: no packages"

TEST(Package, ControlFieldsAndFiles) {
    SKIP_WITHOUT_PACKAGES();
    std::map<std::string, std::string> owner_of;  // file -> package: no file in two packages
    for (const expected_package &p : expected_packages()) {
        SCOPED_TRACE(p.name);
        const std::string deb = deb_of(p.name);
        ASSERT_TRUE(std::filesystem::exists(deb)) << deb;

        std::map<std::string, std::string> fields = control_fields(deb);
        EXPECT_EQ(fields["Package"], p.name);
        EXPECT_EQ(fields["Version"], kVersion);
        EXPECT_EQ(fields["Architecture"], architecture());
        EXPECT_EQ(fields["Section"], p.section);
        EXPECT_EQ(fields["Priority"], "optional");
        EXPECT_EQ(fields["Source"], "tarvik");
        EXPECT_NE(fields["Maintainer"].find('<'), std::string::npos) << fields["Maintainer"];
        // A synopsis line, then an extended description.
        EXPECT_NE(fields["Description"].find("\n "), std::string::npos) << fields["Description"];
        const std::vector<std::string> depends = depends_items(fields["Depends"]);
        for (const std::string &wanted : p.depends)
            EXPECT_TRUE(names(depends, wanted)) << wanted << " not in: " << fields["Depends"];

        const std::map<std::string, entry> members = contents(deb);
        for (const std::string &file : p.files)
            EXPECT_EQ(members.count(file), 1u) << file << " is missing";
        for (const auto &[path, e] : members) {
            EXPECT_EQ(e.owner, "root/root") << path;
            EXPECT_TRUE(path.rfind("usr/", 0) == 0 || path.rfind("etc/", 0) == 0) << path;
            EXPECT_EQ(path.rfind("usr/local/", 0), std::string::npos) << path;
            if (path.back() == '/') {
                EXPECT_EQ(e.mode, "drwxr-xr-x") << path;
                continue;
            }
            const bool program =
                path.rfind("usr/bin/", 0) == 0 || path.rfind("usr/lib/nagios/plugins/", 0) == 0;
            if (e.mode[0] == '-') {
                EXPECT_EQ(e.mode, program ? "-rwxr-xr-x" : "-rw-r--r--") << path;
            }
            const auto [at, fresh] = owner_of.emplace(path, p.name);
            EXPECT_TRUE(fresh) << path << " is in " << at->second << " as well";
        }
    }

    // The shared library: its SONAME, the shlibs file other packages' dependencies come
    // from, and the linker-cache trigger.
    const std::string lib = deb_of("libqvxml1");
    EXPECT_EQ(run({"dpkg-deb", "--info", lib, "shlibs"}).out,
              "libqvxml 1 libqvxml1 (>= " + kVersion + ")\n");
    EXPECT_EQ(run({"dpkg-deb", "--info", lib, "triggers"}).out, "activate-noawait ldconfig\n");
    temp_dir dir;
    ASSERT_EQ(run({"dpkg-deb", "--extract", lib, dir.path()}).exit_code, 0);
    const qvtest::run_result dynamic =
        run({"readelf", "--dynamic", dir.path() + "/" + kLibDir + "/libqvxml.so." + kVersion});
    EXPECT_NE(dynamic.out.find("Library soname: [libqvxml.so.1]"), std::string::npos)
        << dynamic.out;

#ifdef QV_HAVE_EXPORTER
    // The service: its configuration is a conffile; the unit runs the packaged program with
    // it, as a dynamic user in a sandbox, and reloads it with SIGHUP.
    const std::string exporter = deb_of("tarvik-exporter");
    EXPECT_EQ(run({"dpkg-deb", "--info", exporter, "conffiles"}).out,
              "/etc/tarvik_exporter/config.yml\n");
    ASSERT_EQ(run({"dpkg-deb", "--extract", exporter, dir.path()}).exit_code, 0);
    const std::string unit =
        read_file(dir.path() + "/usr/lib/systemd/system/tarvik-exporter.service");
    for (const char *line :
         {"ExecStart=/usr/bin/tarvik_exporter --config.file=/etc/tarvik_exporter/config.yml\n",
          "ExecReload=/bin/kill -HUP $MAINPID\n", "DynamicUser=yes\n", "NoNewPrivileges=yes\n",
          "ProtectSystem=strict\n", "ProtectHome=yes\n", "PrivateTmp=yes\n", "PrivateDevices=yes\n",
          "CapabilityBoundingSet=\n", "WantedBy=multi-user.target\n"})
        EXPECT_NE(unit.find(line), std::string::npos) << line << "not in:\n" << unit;
    for (const char *script : {"postinst", "prerm", "postrm"})
        EXPECT_NE(run({"dpkg-deb", "--info", exporter, script}).out.find("tarvik-exporter.service"),
                  std::string::npos)
            << script;
#endif
}

TEST(Package, ProgramsRunFromTheUnpackedPackages) {
    SKIP_WITHOUT_PACKAGES();
    temp_dir root;
    ASSERT_TRUE(unpack_all(root.path()));
    const std::string env = tool("env");
    const std::string library_path = "LD_LIBRARY_PATH=" + root.path() + "/" + kLibDir;
    struct program_case {
        std::string path;     // below the root
        std::string option;   // the option that prints the version
        std::string version;  // the start of what it prints
        int exit_code;
    };
    std::vector<program_case> programs = {
        {"usr/bin/tarvik", "--version", "tarvik " + kVersion, 0},
        {"usr/bin/tarvik-device", "--version", "tarvik-device " + kVersion, 0},
#ifdef QV_HAVE_EXPORTER
        {"usr/bin/tarvik_exporter", "--version", "tarvik_exporter, version " + kVersion, 0},
#endif
#ifdef QV_HAVE_CHECK
        // A plugin ends with UNKNOWN when it did not check anything.
        {"usr/lib/nagios/plugins/check_tarvik", "--version", "check_tarvik " + kVersion, 3},
        {"usr/lib/nagios/plugins/check_tarvik", "-V", "check_tarvik " + kVersion, 3},
#endif
    };
    for (const program_case &p : programs) {
        const qvtest::run_result r =
            run({env, library_path, root.path() + "/" + p.path, p.option}, 20s);
        EXPECT_EQ(r.exit_code, p.exit_code) << p.path << ": " << r.out << r.err;
        EXPECT_EQ(r.out.rfind(p.version, 0), 0u) << p.path << ": " << r.out;
    }

    // The packaged (stripped) tool reads the packaged stand-in unit.
    qvtest::device unit({}, root.path() + "/usr/bin/tarvik-device");
    ASSERT_TRUE(unit.running());
    const qvtest::run_result got =
        run({root.path() + "/usr/bin/tarvik", "-g", "127.0.0.1", unit.port_text()}, 40s);
    EXPECT_EQ(got.exit_code, 0) << got.out << got.err;

    // The development files are found where they were unpacked.
    const std::string pkg_config_path =
        "PKG_CONFIG_PATH=" + root.path() + "/" + kLibDir + "/pkgconfig";
    EXPECT_EQ(run({env, pkg_config_path, "pkg-config", "--modversion", "qvxml"}).out,
              kVersion + "\n");
    std::string includedir =
        run({env, pkg_config_path, "pkg-config", "--variable=includedir", "qvxml"}).out;
    includedir.erase(includedir.find_last_not_of('\n') + 1);
    EXPECT_EQ(std::filesystem::weakly_canonical(includedir),
              std::filesystem::path(root.path() + "/usr/include"));
}

TEST(Package, ExporterServesWithItsDefaultConfiguration) {
#ifndef QV_HAVE_EXPORTER
    GTEST_SKIP() << "tarvik_exporter is not built";
#else
    SKIP_WITHOUT_PACKAGES();
    temp_dir root;
    ASSERT_TRUE(unpack_all(root.path()));
    // As the unit starts it, with the packaged configuration (on a loopback port of its own).
    exporter_test::background_process exporter(
        {root.path() + "/usr/bin/tarvik_exporter",
         "--config.file=" + root.path() + "/etc/tarvik_exporter/config.yml",
         "--web.listen-address=127.0.0.1:0"},
        root.path(), "exporter");
    ASSERT_TRUE(exporter.wait_for_output("msg=Listening", 10s)) << exporter.output();
    std::smatch match;
    const std::string log = exporter.output();
    ASSERT_TRUE(std::regex_search(log, match, std::regex("msg=Listening .*port=([0-9]+)")));
    const int port = std::atoi(match[1].str().c_str());

    qvtest::device unit({}, root.path() + "/usr/bin/tarvik-device");
    ASSERT_TRUE(unit.running());
    const exporter_test::http_response probe =
        exporter_test::http_get(port, "/probe?target=127.0.0.1:" + unit.port_text());
    EXPECT_EQ(probe.status, 200);
    EXPECT_NE(probe.body.find("\ntarvik_probe_success 1\n"), std::string::npos) << probe.body;

    // What systemctl reload sends.
    exporter.send(SIGHUP);
    EXPECT_TRUE(exporter.wait_for_output("msg=\"Configuration reloaded\"", 10s))
        << exporter.output();
    EXPECT_EQ(exporter.stop(), 0) << exporter.output();
#endif
}

TEST(Package, ExporterUnitVerifies) {
#ifndef QV_HAVE_EXPORTER
    GTEST_SKIP() << "tarvik_exporter is not built: no unit to verify";
#else
    SKIP_WITHOUT_PACKAGES();
    const std::string analyze = tool("systemd-analyze");
    if (analyze.empty())
        GTEST_SKIP() << "systemd-analyze is not installed: the unit of tarvik-exporter is not "
                        "verified";
    temp_dir root;
    ASSERT_EQ(run({"dpkg-deb", "--extract", deb_of("tarvik-exporter"), root.path()}).exit_code, 0);
    // Verified as installed, but with the program where it was unpacked (systemd-analyze
    // checks that the command exists).
    std::string unit = read_file(root.path() + "/usr/lib/systemd/system/tarvik-exporter.service");
    const std::string program = "/usr/bin/tarvik_exporter";
    const size_t at = unit.find("ExecStart=" + program);
    ASSERT_NE(at, std::string::npos) << unit;
    unit.replace(at + 10, program.size(), root.path() + program);
    const std::string copy = root.file("tarvik-exporter.service");
    ASSERT_TRUE(qvtest::write_file(copy, unit));
    // The unit's Documentation= is checked with man, against the packaged page.
    const qvtest::run_result r =
        tool("man").empty() ? run({analyze, "verify", "--man=no", copy})
                            : run({tool("env"), "MANPATH=" + root.path() + "/usr/share/man",
                                   analyze, "verify", copy});
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    // Warnings about the unit (an unknown key, a bad value) do not change the exit code.
    for (const std::string &line : lines_of(r.out + r.err))
        EXPECT_EQ(line.find("tarvik-exporter"), std::string::npos) << line;
#endif
}

TEST(Package, LintianFindsNoErrors) {
    SKIP_WITHOUT_PACKAGES();
    const std::string lintian = tool("lintian");
    if (lintian.empty()) GTEST_SKIP() << "lintian is not installed: the packages are not checked";
    std::vector<std::string> argv = {lintian};
    for (const expected_package &p : expected_packages()) argv.push_back(deb_of(p.name));
    const qvtest::run_result r = run(argv, 600s);
    std::vector<std::string> errors;
    for (const std::string &line : lines_of(r.out + r.err)) {
        if (line.rfind("E: ", 0) == 0) errors.push_back(line);
        if (line.rfind("W: ", 0) == 0) std::printf("lintian: %s\n", line.c_str());
    }
    EXPECT_TRUE(errors.empty()) << ::testing::PrintToString(errors);
    EXPECT_EQ(r.exit_code, 0) << r.out << r.err;  // 2 for errors, 1 when lintian itself failed
}

}  // namespace
