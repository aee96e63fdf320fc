// tarvik-device: a stand-in environment-monitoring unit. An HTTP/1.0 server that serves
// GET /values.xml and GET /setup.xml, takes POST /setup.xml (applying the binary-output
// values it finds and answering with the whole setup document) and closes the connection
// after each response. On request it misbehaves the way real units and networks do, so that
// the client's handling of each case can be tried. One thread per connection; the main
// thread accepts on every listening port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scenario.h"
#include "text.h"

extern const unsigned char device_values_xml[];
extern const unsigned char device_setup_xml[];
extern const unsigned char device_values_power_xml[];

namespace {

const char usage_text[] =
    "Usage: tarvik-device [options]\n"
    "A stand-in monitoring unit: an HTTP/1.0 server that serves GET /values.xml and\n"
    "GET /setup.xml, takes POST /setup.xml (applies the binary-output values it holds and\n"
    "answers with the whole setup document) and closes the connection after each response.\n"
    "\n"
    "Listening:\n"
    "  --bind ADDRESS        IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N              port to listen on; 0 picks a free one (default 0)\n"
    "  --ports COUNT         listen on COUNT ports: N, N+1, ... or, with --port 0, COUNT free\n"
    "                        ports (default 1)\n"
    "  --port-file FILE      also write the ports, one per line, to FILE once listening\n"
    "Each port is printed as \"listening on ADDRESS:PORT\" on standard output.\n"
    "\n"
    "Documents:\n"
    "  --values FILE         serve FILE as /values.xml (default: the bundled document)\n"
    "  --setup FILE          serve FILE as /setup.xml (default: the bundled document)\n"
    "  --power-meter         serve the bundled power-meter document as /values.xml\n"
    "  --crlf                serve the documents with CR LF line ends\n"
    "  --auth USER:PASSWORD  require HTTP Basic authorization for GET and POST /setup.xml\n"
    "\n"
    "Records:\n"
    "  --log FILE            append one line per request to FILE\n"
    "  --capture DIR         store every request, byte for byte, as DIR/request-N.http\n"
    "\n"
    "Misbehaviour (an option applies to every request):\n"
    "  --status CODE         answer with HTTP status CODE (the body as usual)\n"
    "  --silent              read the request and never answer; keep the connection open\n"
    "  --hold                answer, then keep the connection open instead of closing it\n"
    "  --delay MS            wait MS milliseconds before answering\n"
    "  --close-in-header     send half of the response header, then close\n"
    "  --close-in-body       send the header and half of the body, then close\n"
    "  --split-header MS     send the header in three pieces, MS milliseconds apart: the\n"
    "                        status line; the other lines and the CR of the empty line; the\n"
    "                        LF with the body\n"
    "  --drip BYTES:MS       send the response in pieces of BYTES, MS milliseconds apart\n"
    "  --garbage             answer with 4096 bytes of binary garbage and no header\n"
    "  --endless-header      answer with a status line and header lines that never end\n"
    "                        (until the peer closes, for at most two minutes)\n"
    "  --oversize            answer documents with a body of 300000 bytes (padded)\n"
    "  --slow-read BYTES:MS  read requests in pieces of BYTES, MS milliseconds apart, with a\n"
    "                        small receive buffer\n"
    "  --send FILE           answer with exactly the bytes of FILE, then close\n"
    "  --scenario RULES      misbehaviour per request (below); may be given more than once\n"
    "  --scenario-file FILE  the rules in FILE, one or more a line\n"
    "\n"
    "Scenario: rules separated by \";\" or new lines (\"#\" starts a comment), each a\n"
    "selector and one or more actions.\n"
    "  Selectors:  *                every request\n"
    "              N  N-M  N-       request N (counted from 1 as request lines arrive), a range\n"
    "              METHOD [PATH]    e.g. GET /setup.xml, or POST for any path\n"
    "              PATH             e.g. /values.xml, any method\n"
    "  Actions:    the misbehaviour options above without their dashes (status CODE, silent,\n"
    "              hold, delay MS, close-in-header, close-in-body, split-header MS,\n"
    "              drip BYTES:MS, garbage, endless-header, oversize, slow-read BYTES:MS,\n"
    "              send FILE), and \"normal\": forget what applied so far.\n"
    "  Every rule that selects a request applies, in command-line order (an option counts as\n"
    "  a \"*\" rule where it stands); a later action overrides an earlier one. send replaces\n"
    "  the whole response: only delay, drip and hold still shape it. slow-read applies once\n"
    "  the request line is in (rules for every request: from the first byte).\n"
    "  Example: --scenario 'GET /setup.xml silent; 3 status 503; 5- drip 100:20'\n"
    "\n"
    "  --help                show this text\n"
    "  --version             show the version\n"
    "SIGINT or SIGTERM ends the program cleanly (exit code 0).\n";

struct options {
    std::string bind = "127.0.0.1";
    int port = 0;
    int ports = 1;
    std::string port_file;
    std::string values_file, setup_file;
    bool power_meter = false;
    bool crlf = false;
    std::string auth;  // USER:PASSWORD, empty = none
    std::string log_file, capture_dir;
    device::scenario rules;  // the misbehaviour options and --scenario rules, in order
};

options opt;
std::atomic<bool> stopping{false};
int wake_pipe[2] = {-1, -1};
std::atomic<int> active_connections{0};
std::atomic<unsigned> request_seq{0};

std::mutex doc_mutex;  // guards the two documents (a POST changes them)
std::string values_doc, setup_doc;

std::mutex log_mutex;
std::FILE *log_stream = nullptr;

constexpr int idle_limit_ms = 15000;     // a peer silent this long while we read or write
constexpr int hold_limit_ms = 120000;    // longest a silent or held connection is kept
constexpr size_t head_limit = 65536;     // longest request header accepted
constexpr size_t body_limit = 16 << 20;  // longest request body accepted

void on_signal(int) {
    stopping.store(true);
    const char byte = 1;
    if (wake_pipe[1] >= 0) {
        [[maybe_unused]] ssize_t n = write(wake_pipe[1], &byte, 1);
    }
}

[[noreturn]] void die(const std::string &message) {
    std::fprintf(stderr, "tarvik-device: %s\n", message.c_str());
    std::exit(2);
}

std::string read_document(const std::string &path) {
    std::string text, error;
    if (!device::read_file(path, &text, &error)) die(error);
    return text;
}

std::string to_crlf(const std::string &text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
        out += text[i];
    }
    return out;
}

void parse_options(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool has_value = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        auto need = [&]() -> const char * {
            if (has_value) return value.c_str();
            if (i + 1 >= argc) die("option " + arg + " needs a value (see --help)");
            return argv[++i];
        };
        auto bad = [&](const char *v) { die("bad value '" + std::string(v) + "' for " + arg); };
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage_text, stdout);
            std::exit(0);
        } else if (arg == "--version") {
            std::fputs("tarvik-device " QV_VERSION "\n", stdout);
            std::exit(0);
        } else if (arg == "--bind") {
            opt.bind = need();
        } else if (arg == "--port") {
            const char *v = need();
            if (!device::parse_int(v, 0, 65535, &opt.port)) bad(v);
        } else if (arg == "--ports") {
            const char *v = need();
            if (!device::parse_int(v, 1, 10000, &opt.ports)) bad(v);
        } else if (arg == "--port-file") {
            opt.port_file = need();
        } else if (arg == "--values") {
            opt.values_file = need();
        } else if (arg == "--setup") {
            opt.setup_file = need();
        } else if (arg == "--power-meter") {
            opt.power_meter = true;
        } else if (arg == "--crlf") {
            opt.crlf = true;
        } else if (arg == "--auth") {
            opt.auth = need();
            if (opt.auth.find(':') == std::string::npos) bad(opt.auth.c_str());
        } else if (arg == "--log") {
            opt.log_file = need();
        } else if (arg == "--capture") {
            opt.capture_dir = need();
        } else if (arg == "--scenario" || arg == "--scenario-file") {
            const std::string v = need();
            std::string error;
            if (!opt.rules.add_rules(arg == "--scenario" ? v : read_document(v), &error))
                die("scenario: " + error);
        } else if (bool takes_value = false;
                   arg.rfind("--", 0) == 0 &&
                   device::scenario::is_action(arg.substr(2), &takes_value)) {
            const char *v = takes_value ? need() : nullptr;
            std::string error;
            if (!opt.rules.add_every(arg.substr(2), v, &error)) die(error + " (" + arg + ")");
        } else {
            die("unknown option '" + arg + "' (see --help)");
        }
    }
    if (opt.ports > 1 && opt.port != 0 && opt.port + opt.ports - 1 > 65535)
        die("--port and --ports go beyond port 65535");
}

// ---- small I/O helpers; every wait wakes at least every 100 ms to notice a stop ----------

void pause_ms(int ms) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(ms);
    // Sleeps to the end itself, in steps of at most 100 ms (a step rounded down to whole
    // milliseconds would be 0 in the last millisecond and spin on the clock).
    while (!stopping.load()) {
        const auto now = clock::now();
        if (now >= end) return;
        std::this_thread::sleep_until(std::min(end, now + std::chrono::milliseconds(100)));
    }
}

// Waits for `events` on `fd` up to `limit_ms`. 1 ready, 0 time-out or stop, -1 error.
int wait_for(int fd, short events, int limit_ms) {
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(limit_ms);
    while (!stopping.load()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - clock::now()).count();
        if (left <= 0) return 0;
        pollfd p{fd, events, 0};
        const int rc = poll(&p, 1, static_cast<int>(left < 100 ? left : 100));
        if (rc > 0) return 1;
        if (rc < 0 && errno != EINTR) return -1;
    }
    return 0;
}

// Sends all of `data`; false when the peer went away, stalled or we are stopping.
bool send_all(int fd, const char *data, size_t size) {
    size_t sent = 0;
    while (sent < size) {
        if (wait_for(fd, POLLOUT, idle_limit_ms) != 1) return false;
        const ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0)
            sent += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
    }
    return true;
}

// Reads up to `size` bytes (in slow-read pieces when `how` says so). >0 bytes, 0 end of
// stream, -1 error, time-out or stop.
ssize_t read_some(int fd, char *buf, size_t size, int limit_ms, const device::behaviour &how) {
    if (how.slow_bytes > 0 && size > static_cast<size_t>(how.slow_bytes)) size = how.slow_bytes;
    if (wait_for(fd, POLLIN, limit_ms) != 1) return -1;
    ssize_t n;
    do {
        n = recv(fd, buf, size, MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return read_some(fd, buf, size, limit_ms, how);
    if (n > 0 && how.slow_ms > 0) pause_ms(how.slow_ms);
    return n;
}

// Waits until the peer closes (or the hold limit or a stop), discarding what it sends.
void wait_peer_close(int fd, int limit_ms) {
    char sink[4096];
    using clock = std::chrono::steady_clock;
    const auto end = clock::now() + std::chrono::milliseconds(limit_ms);
    while (!stopping.load() && clock::now() < end) {
        const int r = wait_for(fd, POLLIN, 100);
        if (r < 0) return;
        if (r == 0) continue;
        const ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return;
    }
}

// Ends the response with FIN and lets the peer finish, so that unread request bytes never
// turn the close into a reset that could destroy the response in flight.
void finish_connection(int fd) {
    shutdown(fd, SHUT_WR);
    wait_peer_close(fd, 2000);
    close(fd);
}

// ---- HTTP ------------------------------------------------------------------------------------

std::string base64(const std::string &in) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += alphabet[v & 63];
    }
    if (i + 1 == in.size()) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16;
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8);
        out += alphabet[(v >> 18) & 63];
        out += alphabet[(v >> 12) & 63];
        out += alphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

const char *reason_of(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 418:
            return "I'm a teapot";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 503:
            return "Service Unavailable";
        default:
            return "Status";
    }
}

// Value of header `name` (case-insensitive) in the request head, or "" when absent.
std::string header_value(const std::string &head, const char *name, bool *present) {
    *present = false;
    const size_t name_len = std::strlen(name);
    size_t line = head.find('\n');
    while (line != std::string::npos && line + 1 < head.size()) {
        const size_t start = line + 1;
        size_t end = head.find('\n', start);
        if (end == std::string::npos) end = head.size();
        if (end - start > name_len && strncasecmp(head.c_str() + start, name, name_len) == 0 &&
            head[start + name_len] == ':') {
            size_t v = start + name_len + 1;
            while (v < end && (head[v] == ' ' || head[v] == '\t')) ++v;
            size_t e = end;
            while (e > v && (head[e - 1] == '\r' || head[e - 1] == ' ')) --e;
            *present = true;
            return head.substr(v, e - v);
        }
        line = end == head.size() ? std::string::npos : end;
    }
    return "";
}

std::string trim(const std::string &s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

// Text of the first <tag>...</tag> within [from, to) of `doc`; positions of the text in
// *text_begin/*text_end. False when absent.
bool element_text(const std::string &doc, size_t from, size_t to, const std::string &tag,
                  size_t *text_begin, size_t *text_end) {
    const std::string open = "<" + tag + ">";
    const size_t a = doc.find(open, from);
    if (a == std::string::npos || a >= to) return false;
    const size_t b = doc.find("<", a + open.size());
    if (b == std::string::npos || b > to) return false;
    *text_begin = a + open.size();
    *text_end = b;
    return true;
}

struct entry_span {
    size_t begin, end;
};

// The Entry elements of the first <set> block of `doc`, tolerating a missing end tag (an
// entry then ends at the next Entry or at the end of the block).
std::vector<entry_span> set_entries(const std::string &doc, const std::string &set) {
    std::vector<entry_span> out;
    const size_t open = doc.find("<" + set + ">");
    if (open == std::string::npos) return out;
    size_t close = doc.find("</" + set + ">", open);
    if (close == std::string::npos) close = doc.size();
    size_t at = doc.find("<Entry>", open);
    while (at != std::string::npos && at < close) {
        const size_t next = doc.find("<Entry>", at + 7);
        size_t end = doc.find("</Entry>", at);
        const size_t limit = (next == std::string::npos || next > close) ? close : next;
        if (end == std::string::npos || end > limit) end = limit;
        out.push_back({at, end});
        at = next;
    }
    return out;
}

struct output_change {
    std::string id, value;
    bool applied;
};

// Applies the binary-output values of a posted document to the setup document: the Value
// of the entry with the same ID, when that output is in manual mode (Mode 0, or no Mode).
// Outputs the posted document names but the setup lacks are left out of the result.
std::vector<output_change> apply_outputs(const std::string &posted, std::string *doc) {
    std::vector<output_change> changes;
    for (const entry_span &p : set_entries(posted, "BinaryOutSet")) {
        size_t a, b, c, d;
        if (!element_text(posted, p.begin, p.end, "ID", &a, &b) ||
            !element_text(posted, p.begin, p.end, "Value", &c, &d))
            continue;
        const std::string id = trim(posted.substr(a, b - a));
        const std::string value = trim(posted.substr(c, d - c));
        for (const entry_span &e : set_entries(*doc, "BinaryOutSet")) {
            size_t ia, ib;
            if (!element_text(*doc, e.begin, e.end, "ID", &ia, &ib) ||
                trim(doc->substr(ia, ib - ia)) != id)
                continue;
            size_t ma, mb, va, vb;
            const bool manual = !element_text(*doc, e.begin, e.end, "Mode", &ma, &mb) ||
                                trim(doc->substr(ma, mb - ma)) == "0";
            if (manual && element_text(*doc, e.begin, e.end, "Value", &va, &vb))
                doc->replace(va, vb - va, value);
            changes.push_back({id, value, manual});
            break;
        }
    }
    return changes;
}

// Mirrors applied output values into the values document.
void mirror_outputs(const std::vector<output_change> &changes, std::string *doc) {
    for (const output_change &c : changes) {
        if (!c.applied) continue;
        for (const entry_span &e : set_entries(*doc, "BinaryOutSet")) {
            size_t ia, ib, va, vb;
            if (element_text(*doc, e.begin, e.end, "ID", &ia, &ib) &&
                trim(doc->substr(ia, ib - ia)) == c.id &&
                element_text(*doc, e.begin, e.end, "Value", &va, &vb)) {
                doc->replace(va, vb - va, c.value);
                break;
            }
        }
    }
}

std::string garbage_bytes() {
    std::string g(4096, '\0');
    unsigned x = 2463534242u;
    for (char &c : g) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xFF);
        if (c == '\r') c = 'r';  // never an empty line, so never a header
    }
    return g;
}

std::string oversize(const std::string &doc) {
    std::string body = doc;
    const size_t target = 300000;
    body += "<!--";
    while (body.size() + 4 < target) body += "padding ";
    body.resize(target - 4, ' ');
    body += " -->";
    return body;
}

void log_request(const std::string &line) {
    std::lock_guard<std::mutex> lock(log_mutex);
    if (log_stream == nullptr) return;
    std::fputs(line.c_str(), log_stream);
    std::fputc('\n', log_stream);
    std::fflush(log_stream);
}

void capture_request(unsigned seq, const std::string &raw) {
    if (opt.capture_dir.empty()) return;
    const std::string path = opt.capture_dir + "/request-" + std::to_string(seq) + ".http";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return;
    std::fwrite(raw.data(), 1, raw.size(), f);
    std::fclose(f);
}

void send_response(int fd, const std::string &head, const std::string &body,
                   const device::behaviour &how) {
    if (how.delay_ms > 0) pause_ms(how.delay_ms);
    std::string all;
    if (how.reply) {
        all = *how.reply;
    } else if (how.garbage) {
        all = garbage_bytes();
    } else if (how.close_in_header) {
        all = head.substr(0, head.size() / 2);
    } else if (how.endless_header) {
        // A status line, then filler header lines as fast as the peer takes them.
        const std::string status_line = "HTTP/1.0 200 OK\r\n";
        std::string lines;
        while (lines.size() < 16384) lines += "X-Filler: " + std::string(60, 'x') + "\r\n";
        if (!send_all(fd, status_line.data(), status_line.size())) return;
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(hold_limit_ms);
        while (!stopping.load() && std::chrono::steady_clock::now() < end)
            if (!send_all(fd, lines.data(), lines.size())) return;
        return;
    } else {
        all = head + (how.close_in_body ? body.substr(0, body.size() / 2) : body);
        if (how.split_header_ms >= 0) {
            const size_t line_end = head.find("\r\n") + 2;
            const size_t last_cr = head.size() - 1;  // the LF of the empty line stays for piece 3
            if (!send_all(fd, all.data(), line_end)) return;
            pause_ms(how.split_header_ms);
            if (!send_all(fd, all.data() + line_end, last_cr - line_end)) return;
            pause_ms(how.split_header_ms);
            all.erase(0, last_cr);
        }
    }
    const size_t piece = how.drip_bytes > 0 ? static_cast<size_t>(how.drip_bytes) : all.size();
    for (size_t at = 0; at < all.size() && !stopping.load();) {
        const size_t n = std::min(all.size() - at, piece);
        if (!send_all(fd, all.data() + at, n)) return;
        at += n;
        if (at < all.size()) pause_ms(how.drip_ms);
    }
}

// The method and the path of a request line ("GET /values.xml HTTP/1.0"); a line without
// blanks is all method.
void read_request_line(const std::string &raw, std::string *method, std::string *path) {
    const size_t eol = raw.find_first_of("\r\n");
    const std::string line = raw.substr(0, eol);
    const size_t sp1 = line.find(' ');
    if (sp1 == std::string::npos) {
        *method = trim(line);
        path->clear();
        return;
    }
    *method = line.substr(0, sp1);
    *path = line.substr(sp1 + 1, line.find(' ', sp1 + 1) - sp1 - 1);
}

void serve(int fd, int port) {
    // Request: the head up to its empty line, then Content-Length bytes of body. The request
    // gets its number, and with it its behaviour, once its first line is in.
    device::behaviour how = opt.rules.before_request_line();
    unsigned seq = 0;
    std::string method, path;
    std::string raw;
    size_t head_end = std::string::npos;
    char buf[16384];
    while (head_end == std::string::npos) {
        const ssize_t n = read_some(fd, buf, sizeof buf, idle_limit_ms, how);
        if (n <= 0 || raw.size() > head_limit) {
            close(fd);
            return;
        }
        raw.append(buf, static_cast<size_t>(n));
        if (seq == 0 && raw.find('\n') != std::string::npos) {
            read_request_line(raw, &method, &path);
            seq = ++request_seq;
            how = opt.rules.for_request(seq, method, path);
        }
        const size_t crlf = raw.find("\r\n\r\n");
        const size_t lf = raw.find("\n\n");
        if (crlf != std::string::npos) head_end = crlf + 4;
        if (lf != std::string::npos && (head_end == std::string::npos || lf + 2 < head_end))
            head_end = lf + 2;
    }
    const std::string head = raw.substr(0, head_end);
    bool has_length = false;
    const std::string length_text = header_value(head, "Content-Length", &has_length);
    size_t want = has_length ? std::strtoul(length_text.c_str(), nullptr, 10) : 0;
    if (want > body_limit) want = body_limit;
    while (raw.size() - head_end < want) {
        const ssize_t n = read_some(fd, buf, sizeof buf, idle_limit_ms, how);
        if (n <= 0) break;
        raw.append(buf, static_cast<size_t>(n));
    }
    const std::string body = raw.substr(head_end);
    bool has_auth = false;
    const std::string authorization = header_value(head, "Authorization", &has_auth);

    int status = 200;
    std::string document;
    std::string applied = "-";
    const bool is_setup = path == "/setup.xml";
    if (path != "/values.xml" && !is_setup) {
        status = 404;
    } else if (method != "GET" && !(method == "POST" && is_setup)) {
        status = method == "POST" ? 405 : 501;
    } else if (is_setup && !opt.auth.empty() &&
               (!has_auth || authorization != "Basic " + base64(opt.auth))) {
        status = 401;
    }
    // A refusal of the device itself (404, 405, 401, ...) has an HTML body; a status a rule
    // forces comes with the document as usual.
    const bool refused = status != 200;
    if (!refused) status = how.status;
    {
        std::lock_guard<std::mutex> lock(doc_mutex);
        if (method == "POST" && status >= 200 && status < 300) {
            const std::vector<output_change> changes = apply_outputs(body, &setup_doc);
            mirror_outputs(changes, &values_doc);
            // Logged as ID:VALUE, with "!" for an output not in manual mode (not applied).
            std::string list;
            for (const output_change &c : changes)
                list += (list.empty() ? "" : ",") + c.id + ":" + c.value + (c.applied ? "" : "!");
            if (!list.empty()) applied = list;
        }
        if (!refused) document = is_setup ? setup_doc : values_doc;
    }
    if (refused)
        document =
            "<html><body>" + std::to_string(status) + " " + reason_of(status) + "</body></html>\n";
    else if (how.oversize)
        document = oversize(document);

    std::string response_head = "HTTP/1.0 " + std::to_string(status) + " " + reason_of(status) +
                                "\r\nServer: tarvik-device\r\nContent-Type: " +
                                (refused ? "text/html" : "text/xml; charset=utf-8") +
                                "\r\nContent-Length: " + std::to_string(document.size()) +
                                "\r\nConnection: close\r\n";
    if (status == 401) response_head += "WWW-Authenticate: Basic realm=\"tarvik-device\"\r\n";
    if (status == 302) response_head += "Location: /values.xml\r\n";
    response_head += "\r\n";

    capture_request(seq, raw);
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm tm_now{};
    gmtime_r(&now, &tm_now);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &tm_now);
    log_request(std::string(stamp) + " seq=" + std::to_string(seq) +
                " port=" + std::to_string(port) + " method=" + (method.empty() ? "-" : method) +
                " path=" + (path.empty() ? "-" : path) + " request_bytes=" +
                std::to_string(raw.size()) + " head_bytes=" + std::to_string(head.size()) +
                " body_bytes=" + std::to_string(body.size()) +
                " authorization=" + (has_auth ? "\"" + authorization + "\"" : "-") +
                " status=" + (how.reply ? "-" : std::to_string(status)) + " outputs=" + applied);

    if (how.silent) {
        wait_peer_close(fd, hold_limit_ms);
        close(fd);
        return;
    }
    send_response(fd, response_head, document, how);
    if (how.hold) wait_peer_close(fd, hold_limit_ms);
    finish_connection(fd);
}

struct listener {
    int fd;
    int port;
};

int open_listener(const in_addr &address, int port, int *bound_port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (opt.rules.reads_slowly()) {
        // Accepted sockets inherit it: a small window makes a large request trickle in.
        const int small = 4096;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = address;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof sa;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 512) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    *bound_port = ntohs(sa.sin_port);
    return fd;
}

// ---- serving threads ------------------------------------------------------------------------

// Accepted connections wait here for a serving thread. A thread serves one connection after
// another and ends after two idle seconds: starting a thread per connection costs more than
// the answer itself, and under load the unit should not be what a benchmark measures.
std::mutex pool_mutex;
std::condition_variable pool_wake;
std::deque<std::pair<int, int>> pool_pending;  // (connection, port), guarded by pool_mutex
size_t pool_idle = 0;                          // threads waiting for a connection

void pool_thread() {
    std::unique_lock<std::mutex> lock(pool_mutex);
    for (;;) {
        if (pool_pending.empty()) {
            ++pool_idle;
            pool_wake.wait_for(lock, std::chrono::seconds(2),
                               [] { return !pool_pending.empty() || stopping.load(); });
            --pool_idle;
            if (pool_pending.empty()) return;
        }
        const auto [conn, port] = pool_pending.front();
        pool_pending.pop_front();
        lock.unlock();
        serve(conn, port);
        --active_connections;
        lock.lock();
    }
}

// Hands an accepted connection to an idle thread, or to a new one when every idle thread
// already has one coming. A connection no thread can take is closed.
void dispatch(int conn, int port) {
    ++active_connections;
    std::unique_lock<std::mutex> lock(pool_mutex);
    pool_pending.emplace_back(conn, port);
    if (pool_idle >= pool_pending.size()) {
        pool_wake.notify_one();
        return;
    }
    try {
        std::thread(pool_thread).detach();
    } catch (...) {
        if (pool_idle > 0) return;  // an idle thread takes it after its current one
        pool_pending.pop_back();    // this connection: the lock was held since it was added
        lock.unlock();
        --active_connections;
        close(conn);
    }
}

}  // namespace

int main(int argc, char **argv) {
    parse_options(argc, argv);

    auto bundled = [](const unsigned char *doc) {
        return std::string(reinterpret_cast<const char *>(doc));
    };
    values_doc = opt.values_file.empty()
                     ? bundled(opt.power_meter ? device_values_power_xml : device_values_xml)
                     : read_document(opt.values_file);
    setup_doc = opt.setup_file.empty() ? bundled(device_setup_xml) : read_document(opt.setup_file);
    if (opt.crlf) {
        values_doc = to_crlf(values_doc);
        setup_doc = to_crlf(setup_doc);
    }
    if (!opt.log_file.empty()) {
        log_stream = std::fopen(opt.log_file.c_str(), "a");
        if (log_stream == nullptr)
            die("cannot open log '" + opt.log_file + "': " + std::strerror(errno));
    }

    in_addr address{};
    if (inet_pton(AF_INET, opt.bind.c_str(), &address) != 1)
        die("--bind needs a dotted IPv4 address, not '" + opt.bind + "'");

    if (pipe2(wake_pipe, O_CLOEXEC | O_NONBLOCK) != 0) die("cannot create a pipe");
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    std::vector<listener> listeners;
    for (int i = 0; i < opt.ports; ++i) {
        int bound = 0;
        const int fd = open_listener(address, opt.port == 0 ? 0 : opt.port + i, &bound);
        if (fd < 0)
            die("cannot listen on " + opt.bind + ":" +
                std::to_string(opt.port == 0 ? 0 : opt.port + i) + ": " + std::strerror(errno));
        listeners.push_back({fd, bound});
    }
    // The port file is complete before the first line appears, so whoever waits for the
    // line can read the file.
    std::string port_list;
    for (const listener &l : listeners) port_list += std::to_string(l.port) + "\n";
    if (!opt.port_file.empty()) {
        const std::string tmp = opt.port_file + ".tmp";
        std::FILE *f = std::fopen(tmp.c_str(), "w");
        if (f == nullptr || std::fputs(port_list.c_str(), f) < 0 || std::fclose(f) != 0 ||
            std::rename(tmp.c_str(), opt.port_file.c_str()) != 0)
            die("cannot write the port file '" + opt.port_file + "'");
    }
    for (const listener &l : listeners)
        std::printf("listening on %s:%d\n", opt.bind.c_str(), l.port);
    std::fflush(stdout);

    std::vector<pollfd> fds;
    for (const listener &l : listeners) fds.push_back({l.fd, POLLIN, 0});
    fds.push_back({wake_pipe[0], POLLIN, 0});
    while (!stopping.load()) {
        const int rc = poll(fds.data(), fds.size(), 1000);
        if (rc < 0 && errno != EINTR) break;
        if (rc <= 0) continue;
        for (size_t i = 0; i < listeners.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            for (;;) {
                const int conn = accept4(listeners[i].fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (conn < 0) break;
                dispatch(conn, listeners[i].port);
            }
        }
    }

    for (const listener &l : listeners) close(l.fd);
    // Connections notice the stop within 100 ms; give them a moment to close cleanly.
    for (int waited = 0; active_connections.load() > 0 && waited < 3000; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard<std::mutex> lock(log_mutex);
        if (log_stream != nullptr) std::fclose(log_stream);
        log_stream = nullptr;
    }
    std::fflush(stdout);
    // Connection threads that are still running (none normally) must not meet destroyed
    // globals: leave without running static destructors.
    std::_Exit(0);
}
