// The exporter's HTTP side in this process, on a real civetweb server at 127.0.0.1 with a
// port the system picks, with a prober the test controls: endpoints, refusals of bad input,
// the in-flight cap, slow clients, reloads and the allow-list.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "exporter/server.h"
#include "http_client.h"
#include "support.h"

namespace exporter {
namespace {

using exporter_test::http_exchange;
using exporter_test::http_get;
using exporter_test::http_request;
using exporter_test::http_response;

// Records the jobs it is given; answers at once, or holds every probe until released.
class test_prober {
public:
    probe_answer operator()(const probe_job &job) {
        std::unique_lock<std::mutex> lock(mutex_);
        jobs_.push_back(job);
        ++running_;
        if (answer_first_) job.answer_now({true, "tarvik_probe_success 1\n"});
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(20), [&] { return !hold_; });
        --running_;
        changed_.notify_all();
        return {true, "tarvik_probe_success 1\n"};
    }
    // Answer at once, then hold (a probe still closing its module).
    void answer_first(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        answer_first_ = on;
    }
    void hold(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = on;
        changed_.notify_all();
    }
    bool wait_running(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return running_ == count; });
    }
    std::vector<probe_job> jobs() {
        std::lock_guard<std::mutex> lock(mutex_);
        return jobs_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<probe_job> jobs_;
    int running_ = 0;
    bool hold_ = false;
    bool answer_first_ = false;
};

// Writes `text` as file `name` of `dir` and returns its path.
std::string write_in(const qvtest::temp_dir &dir, const std::string &name,
                     const std::string &text) {
    EXPECT_TRUE(qvtest::write_file(dir.file(name), text));
    return dir.file(name);
}

class ExporterServer : public ::testing::Test {
protected:
    void start(exporter_options options = {},
               std::shared_ptr<const exporter_config> config = nullptr) {
        options.listen_address = "127.0.0.1:0";
        if (config == nullptr) {
            if (options.config_file.empty()) {
                config = std::make_shared<exporter_config>(builtin_config());
            } else {
                auto loaded = std::make_shared<exporter_config>();
                std::string reason;
                ASSERT_TRUE(load_config_file(options.config_file, loaded.get(), &reason)) << reason;
                config = loaded;
            }
        }
        server_ = std::make_unique<exporter_server>(
            options, config, [this](const probe_job &job) { return prober_(job); });
        std::string reason;
        ASSERT_TRUE(server_->start(&reason)) << reason;
        port_ = server_->port();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override {
        prober_.hold(false);
        if (server_) server_->stop();
    }

    test_prober prober_;
    std::unique_ptr<exporter_server> server_;
    int port_ = 0;
};

TEST_F(ExporterServer, Endpoints) {
    start();
    struct row {
        std::string method, path;
        int status;
        std::string content_type;
        std::string body_part;
        std::string allow;
    };
    const row rows[] = {
        {"GET", "/", 200, "text/html; charset=utf-8", "<h1>tarvik exporter</h1>", ""},
        {"GET", "/metrics", 200, "text/plain; version=0.0.4; charset=utf-8",
         "tarvik_exporter_build_info{version=\"", ""},
        {"GET", "/-/healthy", 200, "text/plain; charset=utf-8", "Healthy\n", ""},
        {"GET", "/sd", 200, "application/json", "[]\n", ""},
        {"GET", "/probe?target=127.0.0.1", 200, "text/plain; version=0.0.4; charset=utf-8",
         "tarvik_probe_success 1\n", ""},
        {"GET", "/nothing", 404, "text/plain; charset=utf-8",
         "not found (see / for the endpoints)\n", ""},
        {"GET", "/probe/x", 404, "text/plain; charset=utf-8", "not found", ""},
        {"POST", "/probe?target=127.0.0.1", 405, "text/plain; charset=utf-8", "/probe takes GET\n",
         "GET, HEAD"},
        {"DELETE", "/metrics", 405, "text/plain; charset=utf-8", "/metrics takes GET\n",
         "GET, HEAD"},
        {"GET", "/-/reload", 405, "text/plain; charset=utf-8", "/-/reload takes POST\n", "POST"},
        {"PUT", "/sd", 405, "text/plain; charset=utf-8", "/sd takes GET\n", "GET, HEAD"},
        {"POST", "/-/reload", 200, "text/plain; charset=utf-8", "configuration reloaded\n", ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.method + " " + r.path);
        const http_response response = http_request(port_, r.method, r.path);
        ASSERT_TRUE(response.complete);
        EXPECT_EQ(response.status, r.status);
        EXPECT_EQ(response.header("Content-Type"), r.content_type);
        EXPECT_NE(response.body.find(r.body_part), std::string::npos) << response.body;
        EXPECT_EQ(response.header("Allow"), r.allow);
        EXPECT_EQ(response.header("Content-Length"), std::to_string(response.body.size()));
    }
    const http_response head = http_request(port_, "HEAD", "/metrics");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());
}

TEST_F(ExporterServer, BadProbeRequestsGetOneLine400AndNoProbe) {
    start();
    const std::pair<std::string, std::string> cases[] = {
        {"/probe", "parameter target is missing"},
        {"/probe?target=127.0.0.1&target=127.0.0.2", "parameter target given more than once"},
        {"/probe?target=127.0.0.1%2", "malformed percent-encoding in the query"},
        {"/probe?target=%G0", "malformed percent-encoding in the query"},
        {"/probe?target=127.0.0.1%00", "a NUL byte in the query"},
        {"/probe?target=127.0.0.1:http", "target port is not a number 1..65535"},
        {"/probe?target=http%3A%2F%2F127.0.0.1", "target must be HOST[:PORT], without a scheme"},
        {"/probe?target=" + std::string(3000, 'a'), "target longer than 255 bytes"},
        {"/probe?target=127.0.0.1&x=" + std::string(5000, 'a'), "query longer than 4096 bytes"},
        {"/probe?target=127.0.0.1&module=nope", "unknown module \"nope\""},
        {"/probe?target=127.0.0.1&module=%3Cscript%3E", "parameter module is not a module name"},
    };
    for (const auto &[path, reason] : cases) {
        SCOPED_TRACE(path.substr(0, 80));
        const http_response response = http_get(port_, path);
        ASSERT_TRUE(response.complete);
        EXPECT_EQ(response.status, 400);
        EXPECT_EQ(response.body, reason + "\n");
    }
    const std::pair<std::vector<std::string>, std::string> headers[] = {
        {{"X-Prometheus-Scrape-Timeout-Seconds: soon"},
         "X-Prometheus-Scrape-Timeout-Seconds is not a positive number of seconds"},
        {{"X-Prometheus-Scrape-Timeout-Seconds: 0"},
         "X-Prometheus-Scrape-Timeout-Seconds is not a positive number of seconds"},
        {{"X-Prometheus-Scrape-Timeout-Seconds: 5", "x-prometheus-scrape-timeout-seconds: 5"},
         "X-Prometheus-Scrape-Timeout-Seconds given more than once"},
    };
    for (const auto &[lines, reason] : headers) {
        const http_response response = http_get(port_, "/probe?target=127.0.0.1", lines);
        EXPECT_EQ(response.status, 400);
        EXPECT_EQ(response.body, reason + "\n");
    }
    EXPECT_TRUE(prober_.jobs().empty());
    // civetweb's own refusals are one line as well: a request past its size limit, a
    // request line that is no request line.
    const http_response huge = http_get(port_, "/probe?target=" + std::string(9000, 'a'));
    EXPECT_GE(huge.status, 400);
    EXPECT_LT(huge.status, 500);
    const http_response garbage = http_exchange(port_, "\x01\x02 junk\r\n\r\n");
    EXPECT_EQ(garbage.status, 400);
    for (const http_response *r : {&huge, &garbage}) {
        EXPECT_TRUE(r->complete);
        EXPECT_EQ(r->body.find('\n'), r->body.size() - 1) << r->body;
    }
    const http_response metrics = http_get(port_, "/metrics");
    EXPECT_NE(metrics.body.find(
                  "tarvik_exporter_probe_requests_refused_total{reason=\"bad_request\"} 13"),
              std::string::npos)
        << metrics.body;
    EXPECT_NE(metrics.body.find(
                  "tarvik_exporter_probe_requests_refused_total{reason=\"unknown_module\"} 1"),
              std::string::npos);
}

TEST_F(ExporterServer, ProbeGetsTargetModuleAndDeadline) {
    exporter_options options;
    options.timeout_offset_s = 0.5;
    start(options);
    const http_response plain = http_get(port_, "/probe?target=127.0.0.1%3A8080");
    const http_response scraped = http_get(port_, "/probe?module=default&target=192.0.2.9",
                                           {"X-Prometheus-Scrape-Timeout-Seconds: 3"});
    EXPECT_EQ(plain.status, 200);
    EXPECT_EQ(scraped.status, 200);
    const std::vector<probe_job> jobs = prober_.jobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].target.host, "127.0.0.1");
    EXPECT_EQ(jobs[0].target.port, 8080);
    EXPECT_EQ(jobs[0].target_text, "127.0.0.1:8080");
    EXPECT_EQ(jobs[0].module->name, "default");
    EXPECT_DOUBLE_EQ(jobs[0].timeout_s, 10.0);
    EXPECT_EQ(jobs[1].target.port, 80);
    EXPECT_DOUBLE_EQ(jobs[1].timeout_s, 2.5);
    // The deadline counts from the request's start: at most the time-out from now.
    const auto latest = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    EXPECT_LE(jobs[1].deadline, latest);
    EXPECT_GT(jobs[1].deadline, latest - std::chrono::seconds(2));
}

TEST_F(ExporterServer, ProbesPastTheCapGet503AtOnce) {
    exporter_options options;
    options.max_requests = 3;
    start(options);
    prober_.hold(true);
    std::vector<std::thread> clients;
    std::vector<http_response> answers(3);
    for (int i = 0; i < 3; ++i)
        clients.emplace_back([&, i] { answers[i] = http_get(port_, "/probe?target=127.0.0.1"); });
    ASSERT_TRUE(prober_.wait_running(3));
    // Every slot is taken: the next probes are refused while the first three still run,
    // and the other endpoints still answer.
    for (int i = 0; i < 5; ++i) {
        const http_response refused = http_get(port_, "/probe?target=127.0.0.1");
        EXPECT_EQ(refused.status, 503);
        EXPECT_EQ(refused.body, "too many probes in flight (3)\n");
    }
    const http_response metrics = http_get(port_, "/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.body.find("tarvik_exporter_probes_in_flight 3"), std::string::npos);
    EXPECT_NE(metrics.body.find("reason=\"over_capacity\"} 5"), std::string::npos);
    EXPECT_TRUE(prober_.wait_running(3));
    prober_.hold(false);
    for (std::thread &t : clients) t.join();
    for (const http_response &answer : answers) EXPECT_EQ(answer.status, 200);
    // The slots are free again.
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.1").status, 200);
    const http_response after = http_get(port_, "/metrics");
    EXPECT_NE(after.body.find("tarvik_exporter_probes_in_flight 0"), std::string::npos);
    EXPECT_NE(after.body.find("tarvik_exporter_probes_total{result=\"success\"} 4"),
              std::string::npos);
}

// An answered probe gives its slot of the cap back at once, but keeps its library module
// until it returns: past the library's 98 modules a probe is refused, never left waiting.
TEST_F(ExporterServer, AnsweredProbesKeepTheirModuleUntilTheyReturn) {
    exporter_options options;
    options.max_requests = 2;
    start(options);
    prober_.answer_first(true);
    prober_.hold(true);
    std::vector<std::thread> clients;
    std::vector<http_response> answers(kMaxProbesInFlight);
    for (int i = 0; i < kMaxProbesInFlight; ++i) {
        // Sequential: each answer frees the cap's slot for the next request.
        answers[i] = http_get(port_, "/probe?target=127.0.0.1");
        EXPECT_EQ(answers[i].status, 200) << i;
        if (answers[i].status != 200) break;
    }
    EXPECT_TRUE(prober_.wait_running(kMaxProbesInFlight));
    const http_response refused = http_get(port_, "/probe?target=127.0.0.1");
    EXPECT_EQ(refused.status, 503);
    EXPECT_EQ(refused.body,
              "the client library's 98 modules are all in use (probes still closing theirs)\n");
    const http_response metrics = http_get(port_, "/metrics");
    EXPECT_NE(metrics.body.find("tarvik_exporter_library_modules 98"), std::string::npos);
    EXPECT_NE(metrics.body.find("tarvik_exporter_probes_in_flight 0"), std::string::npos);
    prober_.hold(false);
    EXPECT_TRUE(prober_.wait_running(0));
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.1").status, 200);
}

TEST_F(ExporterServer, SlowClientIsCutAtTheRequestTimeout) {
    exporter_options options;
    options.request_timeout_s = 1;
    start(options);
    const int fd = exporter_test::connect_loopback(port_);
    ASSERT_GE(fd, 0);
    const std::string request = "GET /probe?target=127.0.0.1 HTTP/1.1\r\nHost: x\r\n\r\n";
    const auto started = std::chrono::steady_clock::now();
    bool cut = false;
    // One byte every 100 ms would take 5 s for the whole request.
    for (char c : request) {
        if (::send(fd, &c, 1, MSG_NOSIGNAL) != 1) {
            cut = true;
            break;
        }
        // Other clients are served meanwhile.
        if (c == '?') {
            EXPECT_EQ(http_get(port_, "/-/healthy").status, 200);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    char buffer[512];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);  // the answer, then the close
    ::close(fd);
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_TRUE(cut || n >= 0);
    EXPECT_LT(took, 3.0) << "the request time-out of 1 s did not end the connection";
    EXPECT_TRUE(prober_.jobs().empty());
}

TEST_F(ExporterServer, ReloadSwapsTheConfigurationOrKeepsTheOldOne) {
    qvtest::temp_dir dir;
    const std::string file = write_in(dir, "exporter.yml", "modules:\n  first: {timeout: 2s}\n");
    exporter_options options;
    options.config_file = file;
    start(options);
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.1&module=first").status, 200);
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.1&module=second").status, 400);

    write_in(dir, "exporter.yml",
             "modules:\n  second: {read_setup: no}\n"
             "targets:\n  - targets: [\"127.0.0.1:9\"]\n    module: second\n");
    const http_response good = http_request(port_, "POST", "/-/reload");
    EXPECT_EQ(good.status, 200);
    EXPECT_EQ(good.body, "configuration reloaded\n");
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.1&module=first").body,
              "unknown module \"first\"\n");
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.1&module=second").status, 200);
    EXPECT_NE(http_get(port_, "/sd").body.find("\"127.0.0.1:9\""), std::string::npos);

    write_in(dir, "exporter.yml", "modules:\n  third:\n    timeout: soon\n");
    const http_response bad = http_request(port_, "POST", "/-/reload");
    EXPECT_EQ(bad.status, 500);
    EXPECT_EQ(bad.body, "configuration not reloaded, the previous one stays: " + file +
                            ": line 3: timeout of module \"third\" is not a duration above 0s "
                            "and up to 5m\n");
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.1&module=second").status, 200);
    EXPECT_NE(
        http_get(port_, "/metrics").body.find("tarvik_exporter_config_last_reload_successful 0"),
        std::string::npos);

    // A deeply nested file is parsed on a thread with a full stack, not on the server's
    // small-stacked worker (where it overflowed the stack); past the parser's own depth limit
    // it is refused.
    write_in(dir, "exporter.yml",
             "modules: " + std::string(400, '[') + std::string(400, ']') + "\n");
    const http_response deep = http_request(port_, "POST", "/-/reload");
    EXPECT_EQ(deep.status, 500);
    EXPECT_EQ(deep.body, "configuration not reloaded, the previous one stays: " + file +
                             ": line 1: modules must be a mapping\n");
    write_in(dir, "exporter.yml", "modules: " + std::string(2500, '[') + "\n");
    EXPECT_EQ(http_request(port_, "POST", "/-/reload").status, 500);
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.1&module=second").status, 200);

    ::unlink(file.c_str());
    const http_response gone = http_request(port_, "POST", "/-/reload");
    EXPECT_EQ(gone.status, 500);
    EXPECT_EQ(gone.body,
              "configuration not reloaded, the previous one stays: " + file + ": cannot be read\n");
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.1&module=second").status, 200);
}

TEST_F(ExporterServer, AllowListRefusesOtherNetworks) {
    auto config = std::make_shared<exporter_config>(builtin_config());
    ipv4_network network;
    ASSERT_TRUE(parse_ipv4_network("127.0.0.0/30", &network));
    config->allowed_networks = std::vector<ipv4_network>{network};
    start({}, config);
    EXPECT_EQ(http_get(port_, "/probe?target=127.0.0.3:81").status, 200);
    const http_response denied = http_get(port_, "/probe?target=127.0.0.4:81");
    EXPECT_EQ(denied.status, 403);
    EXPECT_EQ(denied.body, "target is not in allowed_networks\n");
    EXPECT_EQ(http_get(port_, "/probe?target=192.0.2.1").status, 403);
    const std::vector<probe_job> jobs = prober_.jobs();
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].target.host, "127.0.0.3");
    EXPECT_NE(http_get(port_, "/metrics").body.find("reason=\"denied\"} 2"), std::string::npos);
}

TEST_F(ExporterServer, CredentialsAppearNowhere) {
    qvtest::temp_dir dir;
    const std::string secret = "pw-Zebra-4711";
    write_in(dir, "password", secret + "\n");
    const std::string file =
        write_in(dir, "exporter.yml",
                 "modules:\n"
                 "  inline: {basic_auth: {username: admin, password: \"" +
                     secret +
                     "\"}}\n"
                     "  filed: {basic_auth: {username: reader, password_file: password}}\n"
                     "targets:\n  - targets: [\"127.0.0.1:9\"]\n    module: inline\n");
    exporter_options options;
    options.config_file = file;
    start(options);
    const std::vector<std::string> paths = {"/",
                                            "/sd",
                                            "/metrics",
                                            "/probe?target=127.0.0.1&module=inline",
                                            "/probe?target=127.0.0.1&module=filed",
                                            "/probe?target=127.0.0.1&module=nope",
                                            "/probe?target=" + secret};
    for (const std::string &path : paths) {
        const http_response response = http_get(port_, path);
        EXPECT_EQ(response.body.find(secret), std::string::npos) << path;
        EXPECT_EQ(response.headers.find(secret), std::string::npos) << path;
    }
    const std::vector<probe_job> jobs = prober_.jobs();
    ASSERT_EQ(jobs.size(), 2u);
    EXPECT_EQ(jobs[0].module->password, secret);
    EXPECT_EQ(jobs[1].module->username, "reader");
    EXPECT_EQ(jobs[1].module->password, secret);
}

}  // namespace
}  // namespace exporter
