// A raw HTTP client for the exporter tests: sends exactly the bytes a test gives (so
// malformed requests reach the server as written) and reads the answer until its
// Content-Length is complete or the server closes, within a time limit.
#pragma once

#include <string>
#include <vector>

namespace exporter_test {

struct http_response {
    bool complete = false;  // the whole answer (per Content-Length, else up to the close) came
                            // within the limit
    int status = 0;         // 0 when no status line was read
    std::string headers;    // the header block, status line included
    std::string body;
    double seconds = 0;                                 // from connect to close
    std::string header(const std::string &name) const;  // first value, "" when absent
};

// Sends `request` to 127.0.0.1:port and reads the answer; gives up after `limit_s`.
http_response http_exchange(int port, const std::string &request, double limit_s = 20);

// A GET of `target` (path and query as written) with optional extra header lines.
http_response http_get(int port, const std::string &target,
                       const std::vector<std::string> &extra_headers = {}, double limit_s = 20);
http_response http_request(int port, const std::string &method, const std::string &target,
                           double limit_s = 20);

// Percent-encodes everything but unreserved characters.
std::string url_encode(const std::string &text);

// A connected socket to 127.0.0.1:port, or -1.
int connect_loopback(int port);

}  // namespace exporter_test
