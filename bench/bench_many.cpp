// Many-device values rounds next to their physical reference, and the memory a 500-device
// module holds after a round.
//
// The devices: 500 host:port pairs on 127.0.0.1, served by four stand-in device processes
// listening on 125 ports each. A round over the first N of them (N = 50, 200, 500) is timed
// against a bare connect, GET /values.xml, read to the close and close of the same N ports,
// one after the other: the work a round cannot do without. Both sides run back to back on the
// wall clock, the order alternating (bench_pairs), so load on the machine slows both alike.
// The same round is also timed against bare exchanges that parse each body once with a bare
// libxml2 SAX pass: the floor for a round that must parse what it receives.
//
// Run: build with -DQV_BUILD_BENCH=ON, then build/bench/bench_many (the device program is
// found next to it in the build tree, or through QV_DEVICE); scripts/bench.sh runs it.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
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

#include "bench_util.h"
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
                // The ports come through the port file; the device's own lines go nowhere.
                const int quiet = open("/dev/null", O_WRONLY);
                if (quiet >= 0) dup2(quiet, STDOUT_FILENO);
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

// Resident memory of this process now, in KiB (/proc/self/statm).
long resident_kib() {
    long size = 0, resident = 0;
    std::ifstream in("/proc/self/statm");
    in >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

long peak_resident_kib() {
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

// bare_get, keeping the response, and then one bare libxml2 SAX pass (empty handlers) over
// its body: the least a round that must parse every document can do.
size_t bare_get_and_parse(int port, std::string &response, const xmlSAXHandler &empty) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    response.clear();
    if (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        static const char request[] = "GET /values.xml HTTP/1.0\r\n\r\n";
        if (send(s, request, sizeof request - 1, MSG_NOSIGNAL) > 0) {
            char chunk[1024];
            for (ssize_t n; (n = recv(s, chunk, sizeof chunk, 0)) > 0;)
                response.append(chunk, static_cast<size_t>(n));
        }
    }
    close(s);
    const size_t body = response.find("\r\n\r\n");
    if (body != std::string::npos) {
        xmlSAXHandler h = empty;
        xmlSAXUserParseMemory(&h, nullptr, response.data() + body + 4,
                              static_cast<int>(response.size() - body - 4));
    }
    return response.size();
}

// A many-device module of the first `count` devices, open between construction and end.
struct many_module {
    int id = -1;
    int count = 0;

    explicit many_module(int n) : count(n) {
        if (qvxml_init() != 0) return;
        id = qvxml_open_many(nullptr);
        qvxml_wait_finish(id, 0, 10);
        qvxml_settings settings;
        qvxml_clr_settings_struct(&settings);
        const fleet &f = devices();
        for (int i = 0; i < n; ++i) qvxml_add_module(id, "127.0.0.1", f.ports[i], &settings);
    }
    ~many_module() { qvxml_uninit(); }

    bool round() const {
        return id > 0 && qvxml_get_values(id) == 0 && qvxml_wait_finish(id, 2, 120) == 0;
    }
    // Devices whose last values document passed the document checks.
    int valid() const {
        int stamp = 0, n = 0;
        for (int i = 0; i < count; ++i) n += qvxml_get_values_many_status(id, i, &stamp) == 0;
        return n;
    }
    // Bytes of the documents the module holds.
    long long document_bytes() const {
        long long total = 0;
        for (int i = 0; i < count; ++i) {
            char *xml = nullptr;
            int length = 0;
            if (qvxml_get_values_xml_many(id, i, &xml, &length) == 0) total += length;
        }
        return total;
    }
};

// A values round over the first N devices against a reference that does the same N
// exchanges its own way (`exchange(port)` returns the bytes it read). Counters: round_us and
// <reference>_us (medians), ratio (median of round / reference, with ratio_p10 and
// ratio_p90), round_us_per_device and <reference>_us_per_device (the medians over N).
template <typename Exchange>
void round_against(benchmark::State &state, const std::string &reference, Exchange exchange) {
    const int n = static_cast<int>(state.range(0));
    const fleet &f = devices();
    many_module module(n);
    if (module.id <= 0) {
        state.SkipWithError("many-device module not opened");
        return;
    }
    bench_pairs pairs(bench_wall_us);
    size_t bytes = 0;
    bool ok = module.round();  // the first round allocates the module's records
    for (auto _ : state) {
        ok = pairs.sample([&] { return module.round(); },
                          [&] {
                              for (int i = 0; i < n; ++i) bytes += exchange(f.ports[i]);
                              return true;
                          }) &&
             ok;
    }
    benchmark::DoNotOptimize(bytes);
    if (!ok || module.valid() != n) {
        state.SkipWithError("a round did not complete");
        return;
    }
    pairs.report(state, "round", reference.c_str());
    state.counters["round_us_per_device"] = state.counters["round_us"] / n;
    state.counters[reference + "_us_per_device"] = state.counters[reference + "_us"] / n;
    state.SetItemsProcessed(state.iterations() * n);
}

// The round against bare connect, GET and close exchanges.
void BM_ManyRoundVsBare(benchmark::State &state) {
    round_against(state, "bare", bare_get);
}

// The same round against bare exchanges that also parse what they receive (one bare SAX
// pass): how much of a round's cost beyond the bare exchange is the parsing itself.
void BM_ManyRoundVsBareAndParse(benchmark::State &state) {
    const xmlSAXHandler empty = bench_empty_sax();
    std::string response;
    round_against(state, "bare_parse",
                  [&](int port) { return bare_get_and_parse(port, response, empty); });
}

// Memory of a 500-device module: resident memory it adds when its devices are added and by
// one values round, next to what the round must hold (the documents received and the values
// records parsed from them). Measured twice, the second time after the first module was
// closed, when the allocator holds the memory of the first module's devices.
void BM_ManyModuleMemory(benchmark::State &state) {
    devices();
    for (auto _ : state) {
        for (const char *which : {"", "_again"}) {
            const long before = resident_kib();
            many_module module(kDevices);
            const long added = resident_kib();
            const bool ok = module.round();
            const long after = resident_kib();
            if (!ok || module.valid() != kDevices) {
                state.SkipWithError("the round did not complete");
                return;
            }
            state.counters[std::string("rss_open_add_KiB") + which] =
                static_cast<double>(added - before);
            state.counters[std::string("rss_round_KiB") + which] =
                static_cast<double>(after - added);
            state.counters["documents_KiB"] = static_cast<double>(module.document_bytes()) / 1024.0;
        }
        state.counters["records_KiB"] =
            kDevices *
            static_cast<double>(sizeof(kyvern_values) + sizeof(kyvern_values_entry_count)) / 1024.0;
        state.counters["peak_rss_KiB"] = static_cast<double>(peak_resident_kib());
    }
}

}  // namespace

// First, so that "before" sees no memory the other benchmarks left to the allocator.
BENCHMARK(BM_ManyModuleMemory)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_ManyRoundVsBare)
    ->Arg(50)
    ->Arg(200)
    ->Arg(kDevices)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(20.0);

BENCHMARK(BM_ManyRoundVsBareAndParse)
    ->Arg(50)
    ->Arg(kDevices)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(10.0);

BENCHMARK_MAIN();
