// cmake --install into a temporary prefix, then a C program compiled against the installed
// library through pkg-config (shared and static) talks to the installed stand-in device.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e_util.h"

namespace e2e {
namespace {

// Runs a shell command with its output kept in `log`; returns its exit status.
int shell(const std::string &command, const std::string &log) {
    const int status = std::system(("(" + command + ") >'" + log + "' 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Install, PutsEverythingInPlaceAndBuildsAClient) {
    temp_dir dir;
    const std::string prefix = dir.file("prefix");
    const std::string log = dir.file("log");
    ASSERT_EQ(shell(std::string("'") + QV_CMAKE_COMMAND + "' --install '" + binary_dir() +
                        "' --prefix '" + prefix + "'",
                    log),
              0)
        << read_file(log);

    const std::string libdir = prefix + "/" + QV_INSTALL_LIBDIR;
    for (const std::string &file :
         {prefix + "/bin/tarvik", prefix + "/bin/tarvik-device", libdir + "/libqvxml.a",
          libdir + "/libqvxml.so", libdir + "/pkgconfig/qvxml.pc", prefix + "/include/qvxml.h",
          prefix + "/include/qvxml_setup_fields.def", prefix + "/include/qvxml_setup_sets.def",
          prefix + "/include/qvxml_values_fields.def", prefix + "/include/qvxml_values_sets.def",
          prefix + "/share/man/man1/tarvik.1"})
        EXPECT_TRUE(file_exists(file)) << file;

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

}  // namespace
}  // namespace e2e
