// A many-device module of 500 devices (500 host:port pairs on 127.0.0.1, served by four
// stand-in device processes listening on 125 ports each) completes a values round; measured
// next to a bare connect, GET and close of the same document from the same ports.
//
// Run: build with -DQV_BUILD_BENCH=ON, then build/bench/bench_many (the device program is
// found next to it in the build tree, or through QV_DEVICE).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qvxml.h"

namespace {

constexpr int kDevices = 500;
constexpr int kProcesses = 4;

std::string device_program() {
    if (const char *env = std::getenv("QV_DEVICE")) return env;
    char exe[4096];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string(".");
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../tools/device/tarvik-device";
}

// The device processes and the ports they listen on; stopped at exit.
struct fleet {
    std::vector<pid_t> pids;
    std::vector<int> ports;

    fleet() {
        const std::string program = device_program();
        for (int p = 0; p < kProcesses; ++p) {
            const std::string file =
                "/tmp/tarvik-bench-ports-" + std::to_string(getpid()) + "-" + std::to_string(p);
            std::remove(file.c_str());
            const pid_t pid = fork();
            if (pid == 0) {
                const std::string count = std::to_string(kDevices / kProcesses);
                execl(program.c_str(), program.c_str(), "--bind", "127.0.0.1", "--port", "0",
                      "--ports", count.c_str(), "--port-file", file.c_str(),
                      static_cast<char *>(nullptr));
                _exit(127);
            }
            pids.push_back(pid);
            std::vector<int> mine;
            for (int waited = 0; waited < 10000 && (int)mine.size() < kDevices / kProcesses;
                 waited += 20) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                mine.clear();
                std::ifstream in(file);
                for (int port; in >> port;) mine.push_back(port);
            }
            std::remove(file.c_str());
            if ((int)mine.size() != kDevices / kProcesses) {
                std::fprintf(stderr, "device program %s did not start\n", program.c_str());
                stop();
                std::exit(1);
            }
            ports.insert(ports.end(), mine.begin(), mine.end());
        }
    }
    void stop() {
        for (pid_t pid : pids) kill(pid, SIGTERM);
        for (pid_t pid : pids) waitpid(pid, nullptr, 0);
        pids.clear();
    }
    ~fleet() { stop(); }
};

fleet &devices() {
    static fleet f;
    return f;
}

long peak_rss_kib() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

// One bare exchange: connect, GET /values.xml, read to the close, close. Returns bytes read.
size_t bare_get(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    size_t total = 0;
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        static const char request[] = "GET /values.xml HTTP/1.0\r\n\r\n";
        if (send(s, request, sizeof request - 1, MSG_NOSIGNAL) > 0) {
            char chunk[1024];
            for (ssize_t n; (n = recv(s, chunk, sizeof chunk, 0)) > 0;)
                total += static_cast<size_t>(n);
        }
    }
    close(s);
    return total;
}

void BM_BareConnectGetClose(benchmark::State &state) {
    fleet &f = devices();
    size_t bytes = 0;
    for (auto _ : state)
        for (int port : f.ports) bytes += bare_get(port);
    benchmark::DoNotOptimize(bytes);
    state.SetItemsProcessed(state.iterations() * kDevices);
}

void BM_ManyDeviceValuesRound(benchmark::State &state) {
    fleet &f = devices();
    if (qvxml_init() != 0) {
        state.SkipWithError("qvxml_init failed");
        return;
    }
    const int id = qvxml_open_many(nullptr);
    qvxml_wait_finish(id, 0, 10);
    qvxml_settings settings;
    qvxml_clr_settings_struct(&settings);
    for (int port : f.ports) qvxml_add_module(id, "127.0.0.1", port, &settings);
    int failed = 0;
    for (auto _ : state) {
        if (qvxml_get_values(id) != 0 || qvxml_wait_finish(id, 2, 120) != 0) ++failed;
    }
    int stamp = 0;
    int valid = 0;
    for (int i = 0; i < kDevices; ++i) valid += qvxml_get_values_many_status(id, i, &stamp) == 0;
    qvxml_uninit();
    if (failed != 0 || valid != kDevices) state.SkipWithError("a round did not complete");
    state.SetItemsProcessed(state.iterations() * kDevices);
    state.counters["devices_with_document"] = valid;
    state.counters["peak_rss_MiB"] = static_cast<double>(peak_rss_kib()) / 1024.0;
}

}  // namespace

BENCHMARK(BM_BareConnectGetClose)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ManyDeviceValuesRound)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

BENCHMARK_MAIN();
