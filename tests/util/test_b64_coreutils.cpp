// Differential test: the codec against the base64 program of coreutils on random inputs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "qvxml.h"
#include "support.h"

namespace {

using qvtest::read_file;
using qvtest::write_file;

std::string our_encode(const std::string &in, unsigned flags) {
    int rc = -1;
    size_t need = b64_encode2(in.data(), in.size(), nullptr, 0, flags, 0, &rc);
    std::string out(need, '\0');
    EXPECT_EQ(b64_encode2(in.data(), in.size(), out.data(), out.size(), flags, 0, &rc), need);
    EXPECT_EQ(rc, B64_RC_OK);
    return out;
}

std::string our_decode(const std::string &in) {
    std::vector<char> out(b64_decode(in.data(), in.size(), nullptr, 0) + 1);
    size_t n = b64_decode(in.data(), in.size(), out.data(), out.size());
    return std::string(out.data(), n);
}

class B64Coreutils : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::system("base64 --version >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "coreutils base64 not installed";
    }

    std::string path(int i, const char *suffix) const {
        return dir_.file(std::to_string(i) + suffix);
    }

    // One shell runs base64 on every input file (one process per file would make the test
    // slow under the sanitizers, which instrument each fork of the test itself).
    void run_each(int count, const std::string &args, const char *from, const char *to) {
        std::string command = "cd " + dir_.path() + " && i=0; while [ $i -lt " +
                              std::to_string(count) + " ]; do base64 " + args + " $i" + from +
                              " > $i" + to + " || exit 1; i=$((i+1)); done";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }

    qvtest::temp_dir dir_;
};

TEST_F(B64Coreutils, EncodeAndDecodeAgreeOnRandomInputs) {
    std::mt19937 random(20210124);
    constexpr int kInputs = 300;
    std::vector<std::string> inputs;
    for (int i = 0; i < kInputs; ++i) {
        // Mostly short inputs (every padding case), some up to a few kilobytes.
        size_t size = i < 250 ? random() % 200 : random() % 5000;
        std::string in(size, '\0');
        for (char &c : in) c = static_cast<char>(random() & 0xFF);
        write_file(path(i, ".in"), in);
        inputs.push_back(std::move(in));
    }
    run_each(kInputs, "-w 0", ".in", ".flat");
    run_each(kInputs, "-w 76", ".in", ".wrapped");

    for (int i = 0; i < kInputs; ++i) {
        const std::string &in = inputs[i];
        std::string ours = our_encode(in, B64_F_LINE_LEN_INFINITE);
        ASSERT_EQ(ours, read_file(path(i, ".flat"))) << "input " << i << ", " << in.size();
        EXPECT_EQ(b64_encode(in.data(), in.size(), nullptr, 0), ours.size());
        write_file(path(i, ".ours"), ours);

        // Lines of 76: coreutils ends lines with LF (and the output with one), ours with CR LF
        // between lines only.
        std::string wrapped = read_file(path(i, ".wrapped"));
        std::string expected;
        for (char c : wrapped) {
            if (c == '\n') expected += '\r';
            expected += c;
        }
        if (!expected.empty()) expected.resize(expected.size() - 2);
        ASSERT_EQ(our_encode(in, B64_F_LINE_LEN_76), expected) << "input " << i;

        // Our decoder reads coreutils' wrapped text (LF skipped) back to the input.
        ASSERT_EQ(our_decode(wrapped), in) << "input " << i;
        ASSERT_EQ(our_decode(ours), in) << "input " << i;
    }

    // ... and coreutils decodes ours.
    run_each(kInputs, "-d", ".ours", ".back");
    for (int i = 0; i < kInputs; ++i)
        ASSERT_EQ(read_file(path(i, ".back")), inputs[i]) << "input " << i;
}

}  // namespace
