#include "exporter/server.h"

#include <arpa/inet.h>
#include <civetweb.h>
#include <netdb.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "exporter/log.h"
#include "exporter/pages.h"

namespace exporter {

namespace {

constexpr const char *kTextPlain = "text/plain; charset=utf-8";
constexpr const char *kExposition = "text/plain; version=0.0.4; charset=utf-8";
constexpr const char *kTimeoutHeader = "X-Prometheus-Scrape-Timeout-Seconds";

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// An HTTP date (RFC 9110 IMF-fixdate) of the present moment, whatever the locale. Written
// here with gmtime_r: civetweb (1.15) writes its Date header with gmtime(), whose result
// lives in one buffer shared by all threads (ThreadSanitizer reported the race).
std::string http_date() {
    static constexpr const char *kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char *kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const std::time_t now = std::time(nullptr);
    std::tm t{};
    if (gmtime_r(&now, &t) == nullptr) return "Thu, 01 Jan 1970 00:00:00 GMT";
    char text[40];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday % 7],
                  t.tm_mday, kMonths[t.tm_mon % 12], t.tm_year + 1900, t.tm_hour, t.tm_min,
                  t.tm_sec);
    return text;
}

// Writes a whole response: status, content type, length, body (left out for HEAD). Header
// and body go out in one write, so a small answer is one segment and no lock is shared
// between the workers.
void respond(mg_connection *conn, int status, const char *content_type, const std::string &body,
             const char *allow = nullptr) {
    const mg_request_info *request = mg_get_request_info(conn);
    const bool head = request != nullptr && request->request_method != nullptr &&
                      std::strcmp(request->request_method, "HEAD") == 0;
    std::string text;
    text.reserve(256 + (head ? 0 : body.size()));
    text += "HTTP/1.1 ";
    text += std::to_string(status);
    text += ' ';
    text += mg_get_response_code_text(conn, status);
    text += "\r\nContent-Type: ";
    text += content_type;
    text += "\r\nContent-Length: ";
    text += std::to_string(body.size());
    text += "\r\nCache-Control: no-store\r\n";
    if (allow != nullptr) {
        text += "Allow: ";
        text += allow;
        text += "\r\n";
    }
    text += "Date: ";
    text += http_date();
    text += "\r\nConnection: close\r\n\r\n";
    if (!head) text += body;
    mg_write(conn, text.data(), text.size());
}

// A one-line refusal.
void refuse(mg_connection *conn, int status, const std::string &reason) {
    respond(conn, status, kTextPlain, reason + "\n");
}

bool method_is(const mg_request_info *request, const char *method) {
    return request->request_method != nullptr && std::strcmp(request->request_method, method) == 0;
}

bool get_or_head(const mg_request_info *request) {
    return method_is(request, "GET") || method_is(request, "HEAD");
}

// The value of header `name` when it is present exactly once; *repeated when more often.
const char *single_header(const mg_request_info *request, const char *name, bool *repeated) {
    const char *found = nullptr;
    *repeated = false;
    for (int i = 0; i < request->num_headers && i < MG_MAX_HEADERS; ++i) {
        if (request->http_headers[i].name != nullptr &&
            mg_strcasecmp(request->http_headers[i].name, name) == 0) {
            if (found != nullptr) *repeated = true;
            found = request->http_headers[i].value;
        }
    }
    return found;
}

// Resolves a host name to IPv4 addresses within `timeout_s`. The lookup runs on a thread of
// its own that owns its state, so giving up at the deadline leaves nothing dangling.
enum class lookup { found, failed, timed_out };

lookup resolve_bounded(const std::string &host, double timeout_s, std::vector<uint32_t> *out) {
    struct state {
        std::mutex mutex;
        std::condition_variable done_cv;
        bool done = false;
        bool ok = false;
        std::vector<uint32_t> addresses;
    };
    auto shared = std::make_shared<state>();
    try {
        std::thread([shared, host] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            hints.ai_socktype = SOCK_STREAM;
            addrinfo *found = nullptr;
            std::vector<uint32_t> addresses;
            const bool ok = getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0;
            for (addrinfo *a = ok ? found : nullptr; a != nullptr; a = a->ai_next) {
                if (a->ai_family == AF_INET && a->ai_addr != nullptr)
                    addresses.push_back(
                        ntohl(reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr));
            }
            if (found != nullptr) freeaddrinfo(found);
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->ok = ok && !addresses.empty();
            shared->addresses = std::move(addresses);
            shared->done = true;
            shared->done_cv.notify_all();
        }).detach();
    } catch (const std::system_error &) {
        return lookup::failed;
    }
    std::unique_lock<std::mutex> lock(shared->mutex);
    if (!shared->done_cv.wait_for(lock, std::chrono::duration<double>(timeout_s),
                                  [&] { return shared->done; }))
        return lookup::timed_out;
    if (!shared->ok) return lookup::failed;
    *out = shared->addresses;
    return lookup::found;
}

std::string dotted(uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace

bool probe_deadline(const char *header, double offset_s, double module_timeout_s, double *out) {
    double timeout = module_timeout_s;
    if (header != nullptr) {
        // A plain decimal number: digits, at most one '.', nothing else (no sign, exponent,
        // blanks, "inf" or "nan").
        const std::string_view text(header);
        bool digit = false;
        int dots = 0;
        for (char c : text) {
            if (c >= '0' && c <= '9')
                digit = true;
            else if (c == '.')
                ++dots;
            else
                return false;
        }
        if (!digit || dots > 1 || text.size() > 20) return false;
        const double scrape = std::strtod(header, nullptr);
        if (!(scrape > 0) || !std::isfinite(scrape)) return false;
        const double usable = scrape > offset_s ? scrape - offset_s : scrape;
        if (usable < timeout) timeout = usable;
    }
    *out = timeout;
    return true;
}

exporter_server::exporter_server(exporter_options options,
                                 std::shared_ptr<const exporter_config> config, prober probe)
    : options_(std::move(options)),
      probe_(std::move(probe)),
      metrics_([this] { return holding_.load(); }),
      config_(std::move(config)) {}

exporter_server::~exporter_server() {
    stop();
}

std::shared_ptr<const exporter_config> exporter_server::config() const {
    std::lock_guard<std::mutex> lock(config_mutex_);
    return config_;
}

std::string exporter_server::address() const {
    std::string host, error;
    int port = 0;
    parse_listen_address(options_.listen_address, &host, &port, &error);
    if (host.empty() || host == "0.0.0.0") host = "localhost";
    return host + ":" + std::to_string(port_);
}

bool exporter_server::start(std::string *reason) {
    std::string host;
    int port = 0;
    if (!parse_listen_address(options_.listen_address, &host, &port, reason)) return false;
    const std::string ports =
        host.empty() ? std::to_string(port) : host + ":" + std::to_string(port);
    // A worker is held by each probe until its module is closed, so up to the library's
    // limit, whatever the cap; the spare ones answer everything else, 503s included.
    const std::string threads = std::to_string(kMaxProbesInFlight + kSpareThreads);
    const std::string request_timeout =
        std::to_string(static_cast<long>(std::lround(options_.request_timeout_s * 1000)));
    const char *settings[] = {
        "listening_ports",
        ports.c_str(),
        "num_threads",
        threads.c_str(),
        "request_timeout_ms",
        request_timeout.c_str(),
        "enable_keep_alive",
        "no",
        "max_request_size",
        "8192",
        "tcp_nodelay",
        "1",
        "decode_url",
        "yes",
        "enable_directory_listing",
        "no",
        nullptr,
    };
    mg_callbacks callbacks{};
    // civetweb's own messages (a client gone, a bad request line) go to the debug log.
    callbacks.log_message = [](const mg_connection *, const char *message) {
        log(log_level::debug, "civetweb", {{"message", message}});
        return 1;
    };
    // civetweb's own refusals (malformed request, header too large) as one line too.
    callbacks.http_error = [](mg_connection *conn, int status, const char *message) {
        std::string line = message != nullptr ? message : "";
        for (char &c : line)
            if (c == '\n' || c == '\r') c = ' ';
        respond(conn, status, kTextPlain, "HTTP " + std::to_string(status) + ": " + line + "\n");
        return 0;
    };
    mg_init_library(0);
    context_ = mg_start(&callbacks, this, settings);
    if (context_ == nullptr) {
        mg_exit_library();
        *reason = "cannot listen on " + options_.listen_address;
        return false;
    }
    mg_server_port server_ports[4];
    const int count = mg_get_server_ports(context_, 4, server_ports);
    port_ = count > 0 ? server_ports[0].port : port;
    mg_set_request_handler(context_, "/", &exporter_server::handle_request, this);
    return true;
}

void exporter_server::stop() {
    if (context_ != nullptr) {
        mg_stop(context_);
        context_ = nullptr;
        mg_exit_library();
    }
}

bool exporter_server::reload(std::string *reason) {
    std::lock_guard<std::mutex> serial(reload_mutex_);
    if (options_.config_file.empty()) {
        log(log_level::info, "No configuration file to reload; the built-in module stays");
        metrics_.reload_result(true);
        return true;
    }
    auto fresh = std::make_shared<exporter_config>();
    if (!load_config_file(options_.config_file, fresh.get(), reason)) {
        log(log_level::error, "Configuration reload failed; the previous configuration stays",
            {{"reason", *reason}});
        metrics_.reload_result(false);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(config_mutex_);
        config_ = std::move(fresh);
    }
    metrics_.reload_result(true);
    log(log_level::info, "Configuration reloaded", {{"file", options_.config_file}});
    return true;
}

int exporter_server::handle_request(mg_connection *conn, void *self_pointer) {
    auto *self = static_cast<exporter_server *>(self_pointer);
    const mg_request_info *request = mg_get_request_info(conn);
    const std::string path = request->local_uri != nullptr ? request->local_uri : "";
    try {
        if (path == "/probe") {
            if (!get_or_head(request)) {
                respond(conn, 405, kTextPlain, "/probe takes GET\n", "GET, HEAD");
                return 405;
            }
            self->handle_probe(conn);
        } else if (path == "/metrics") {
            if (!get_or_head(request)) {
                respond(conn, 405, kTextPlain, "/metrics takes GET\n", "GET, HEAD");
                return 405;
            }
            respond(conn, 200, kExposition, self->metrics_.render());
        } else if (path == "/sd") {
            if (!get_or_head(request)) {
                respond(conn, 405, kTextPlain, "/sd takes GET\n", "GET, HEAD");
                return 405;
            }
            respond(conn, 200, "application/json", render_sd_json(*self->config()));
        } else if (path == "/-/healthy") {
            if (!get_or_head(request)) {
                respond(conn, 405, kTextPlain, "/-/healthy takes GET\n", "GET, HEAD");
                return 405;
            }
            respond(conn, 200, kTextPlain, "Healthy\n");
        } else if (path == "/-/reload") {
            if (!method_is(request, "POST")) {
                respond(conn, 405, kTextPlain, "/-/reload takes POST\n", "POST");
                return 405;
            }
            self->handle_reload(conn);
        } else if (path == "/") {
            if (!get_or_head(request)) {
                respond(conn, 405, kTextPlain, "/ takes GET\n", "GET, HEAD");
                return 405;
            }
            respond(conn, 200, "text/html; charset=utf-8",
                    render_landing_page(*self->config(), self->address()));
        } else {
            respond(conn, 404, kTextPlain, "not found (see / for the endpoints)\n");
            return 404;
        }
    } catch (const std::exception &error) {
        // Out of memory or a thread that cannot start: the request fails, the exporter stays.
        log(log_level::error, "Request failed", {{"path", path}, {"error", error.what()}});
        refuse(conn, 500, "internal error");
        return 500;
    }
    return 200;
}

void exporter_server::handle_reload(mg_connection *conn) {
    // civetweb's workers have 100 KB stacks; the YAML parser recurses once per nesting level
    // (up to its limit of 2000), so the file is read on a thread with a full-size stack.
    std::string reason;
    bool reloaded = false;
    std::thread reader([&] { reloaded = reload(&reason); });
    reader.join();
    if (reloaded) {
        respond(conn, 200, kTextPlain, "configuration reloaded\n");
    } else {
        for (char &c : reason)
            if (c == '\n' || c == '\r') c = ' ';
        refuse(conn, 500, "configuration not reloaded, the previous one stays: " + reason);
    }
}

void exporter_server::handle_probe(mg_connection *conn) {
    const mg_request_info *request = mg_get_request_info(conn);
    const auto started = std::chrono::steady_clock::now();
    const std::shared_ptr<const exporter_config> config = this->config();

    probe_query query;
    std::string reason;
    if (!parse_probe_query(request->query_string != nullptr ? request->query_string : "", &query,
                           &reason)) {
        metrics_.refused(refusal::bad_request);
        log(log_level::debug, "Probe refused", {{"reason", reason}});
        refuse(conn, 400, reason);
        return;
    }
    const auto module = config->modules.find(query.module);
    if (module == config->modules.end()) {
        metrics_.refused(refusal::unknown_module);
        refuse(conn, 400, "unknown module \"" + query.module + "\"");
        return;
    }
    bool repeated = false;
    const char *header = single_header(request, kTimeoutHeader, &repeated);
    double timeout_s = 0;
    if (repeated ||
        !probe_deadline(header, options_.timeout_offset_s, module->second.timeout_s, &timeout_s)) {
        metrics_.refused(refusal::bad_request);
        refuse(conn, 400,
               std::string(kTimeoutHeader) +
                   (repeated ? " given more than once" : " is not a positive number of seconds"));
        return;
    }

    // Both slots are taken before anything slow (a name lookup, the probe): a probe slot of
    // the cap, given back when the answer is sent, and a library module, given back when the
    // probe has closed it.
    struct slot {
        std::atomic<int> *count = nullptr;
        bool take(std::atomic<int> &counter, int limit) {
            if (counter.fetch_add(1) >= limit) {
                counter.fetch_sub(1);
                return false;
            }
            count = &counter;
            return true;
        }
        void give_back() {
            if (count != nullptr) count->fetch_sub(1);
            count = nullptr;
        }
        ~slot() { give_back(); }
    };
    slot probe_slot, module_slot;
    if (!probe_slot.take(in_flight_, options_.max_requests)) {
        metrics_.refused(refusal::over_capacity);
        log(log_level::debug, "Probe refused: too many in flight", {{"target", query.target_text}});
        refuse(conn, 503,
               "too many probes in flight (" + std::to_string(options_.max_requests) + ")");
        return;
    }
    if (!module_slot.take(holding_, kMaxProbesInFlight)) {
        metrics_.refused(refusal::over_capacity);
        refuse(conn, 503,
               "the client library's " + std::to_string(kMaxProbesInFlight) +
                   " modules are all in use (probes still closing theirs)");
        return;
    }

    probe_job job;
    job.target = query.target;
    job.target_text = query.target_text;
    job.module = &module->second;
    if (config->allowed_networks) {
        std::vector<uint32_t> addresses;
        if (job.target.numeric) {
            in_addr a{};
            inet_pton(AF_INET, job.target.host.c_str(), &a);
            addresses.push_back(ntohl(a.s_addr));
        } else {
            const lookup result = resolve_bounded(job.target.host, timeout_s, &addresses);
            if (result != lookup::found) {
                metrics_.refused(refusal::denied);
                refuse(conn, 403,
                       result == lookup::timed_out
                           ? "target host name did not resolve in time; it cannot be checked "
                             "against allowed_networks"
                           : "target host name does not resolve; it cannot be checked against "
                             "allowed_networks");
                return;
            }
        }
        for (uint32_t address : addresses) {
            if (!network_allows(*config->allowed_networks, address)) {
                metrics_.refused(refusal::denied);
                log(log_level::debug, "Probe refused: target not allowed",
                    {{"target", query.target_text}});
                refuse(conn, 403, "target is not in allowed_networks");
                return;
            }
        }
        // Probe the address that was checked, not whatever a second lookup returns.
        job.target.host = dotted(addresses.front());
        job.target.numeric = true;
    }
    job.timeout_s = timeout_s;
    job.deadline = started + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(timeout_s));

    // The answer goes out once: from inside the probe when it knows its outcome (before it
    // closes its module), or when it returns.
    bool answered = false;
    job.answer_now = [&](const probe_answer &answer) {
        if (answered) return;
        answered = true;
        probe_slot.give_back();
        const double took = seconds_since(started);
        metrics_.probe_finished(answer.success, took);
        if (log_enabled(log_level::debug))
            log(log_level::debug, "Probe done",
                {{"target", query.target_text},
                 {"module", query.module},
                 {"success", answer.success ? "1" : "0"},
                 {"seconds", std::to_string(took)}});
        respond(conn, 200, kExposition, answer.body);
    };
    metrics_.probe_started();
    probe_answer answer;
    try {
        answer = probe_(job);
    } catch (const std::exception &error) {
        if (!answered) {
            metrics_.probe_finished(false, seconds_since(started));
            throw;
        }
        // The client has its answer; only the clean-up after it failed.
        log(log_level::error, "Probe failed after answering", {{"error", error.what()}});
        return;
    }
    job.answer_now(answer);
}

}  // namespace exporter
