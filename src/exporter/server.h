// The exporter's HTTP side, served by civetweb: /probe, /metrics, /sd, /-/healthy,
// /-/reload and the landing page. civetweb reads and parses every request; this layer only
// validates what the request carries and answers.
//
// Threads: civetweb runs 98 + kSpareThreads workers (a probe holds its worker until its
// module is closed, and at most 98 modules run), so requests past the probe cap still reach
// a worker and get their 503 at once. A probe counts against the cap until
// its answer is sent; its library module counts against the library's limit of 98 running
// modules until it is closed (a probe that would pass that limit is refused with 503 too). Every
// handler takes the current configuration once (a shared pointer), so a reload never changes a
// request under way.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "exporter/config.h"
#include "exporter/options.h"
#include "exporter/query.h"
#include "exporter/self_metrics.h"

struct mg_context;
struct mg_connection;

namespace exporter {

// civetweb workers beyond the probes': answer the other endpoints and the 503s while every
// probe slot is taken, and absorb slow clients (each bounded by the request time-out).
constexpr int kSpareThreads = 24;

struct probe_answer {
    bool success = false;
    std::string body;  // exposition text (text format 0.0.4)
};

// One probe to run: the target (host already checked against the allow-list, and then
// numeric), the module and the time it may take.
struct probe_job {
    probe_target target;
    std::string target_text;                // as the client sent it
    const module_config *module = nullptr;  // valid for the duration of the call
    double timeout_s = 0;  // the probe's time-out as reported (from the request's start)
    std::chrono::steady_clock::time_point deadline;  // when the probe must give up
    // Sends the answer to the client at once (at most once; later calls do nothing). A
    // prober calls it as soon as the outcome is known, before it releases what it holds (a
    // library module whose close may take a while); what it returns is then not sent again.
    std::function<void(const probe_answer &)> answer_now;
};

// Runs one probe; called on civetweb's worker threads, concurrently. Must return by
// job.deadline (plus the time to close and render).
using prober = std::function<probe_answer(const probe_job &job)>;

// The deadline of one probe: the module's time-out, or Prometheus' scrape time-out less
// `offset_s` when that is smaller (the whole scrape time-out when it is no larger than the
// offset). `header` is the value of X-Prometheus-Scrape-Timeout-Seconds (null: none).
// Returns false when the header is not a positive decimal number of seconds.
bool probe_deadline(const char *header, double offset_s, double module_timeout_s, double *out);

class exporter_server {
public:
    exporter_server(exporter_options options, std::shared_ptr<const exporter_config> config,
                    prober probe);
    ~exporter_server();
    exporter_server(const exporter_server &) = delete;
    exporter_server &operator=(const exporter_server &) = delete;

    // Starts listening. False with a reason when the address cannot be used.
    bool start(std::string *reason);
    // Stops accepting and waits for the requests under way (probes end by their deadline).
    void stop();

    // The port listened on (the system's pick when the options said 0).
    int port() const { return port_; }
    // HOST:PORT for humans ("localhost" when every interface is used).
    std::string address() const;

    // Re-reads the configuration file. On failure keeps the configuration in use and
    // returns false with the reason. Without a configuration file there is nothing to
    // read: true. Serialised; safe from any thread with a full-size stack (the YAML parser
    // recurses once per nesting level): not from civetweb's workers directly.
    bool reload(std::string *reason);

    std::shared_ptr<const exporter_config> config() const;

private:
    static int handle_request(mg_connection *conn, void *self);
    void handle_probe(mg_connection *conn);
    void handle_reload(mg_connection *conn);

    exporter_options options_;
    prober probe_;
    self_metrics metrics_;
    mutable std::mutex config_mutex_;
    std::shared_ptr<const exporter_config> config_;
    std::mutex reload_mutex_;
    // Probes not yet answered (the cap, --web.max-requests), and probes holding a library
    // module: answered ones still closing their module count here until the close ends.
    std::atomic<int> in_flight_{0};
    std::atomic<int> holding_{0};
    mg_context *context_ = nullptr;
    int port_ = 0;
};

}  // namespace exporter
