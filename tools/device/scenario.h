// Per-request misbehaviour of tarvik-device: what the unit does with one request (a
// `behaviour`), and the scenario whose rules pick it by request number, method and path.
//
// A scenario is a list of rules, each a selector and one or more actions:
//   *                 every request
//   N | N-M | N-      request N (counted from 1 in the order request lines arrive), a range
//   METHOD [PATH]     e.g. "GET /setup.xml"; "POST" alone: any path
//   PATH              e.g. "/values.xml": any method
// Every rule that selects a request applies to it, in the order the rules were added, so a
// later action overrides an earlier one; "normal" forgets everything before it.
#pragma once

#include <climits>
#include <memory>
#include <string>
#include <vector>

namespace device {

// What the unit does with one request; the default is a sound answer.
struct behaviour {
    int status = 200;              // status of an answer the unit gives to a request it serves
    bool silent = false;           // read the request, never answer, keep the connection open
    bool hold = false;             // answer, then keep the connection open
    int delay_ms = 0;              // pause before answering
    bool close_in_header = false;  // half of the header, then close
    bool close_in_body = false;    // the header and half of the body, then close
    int split_header_ms = -1;      // >= 0: the header in three pieces this far apart
    int drip_bytes = 0;            // > 0: the response in pieces of this size ...
    int drip_ms = 0;               // ... this far apart
    bool garbage = false;          // binary bytes and no header
    bool endless_header = false;   // a status line and header lines that never end
    bool oversize = false;         // documents padded to 300000 bytes
    int slow_bytes = 0;            // > 0: requests read in pieces of this size ...
    int slow_ms = 0;               // ... this far apart
    // When set, exactly these bytes are the response (delay, drip and hold still apply).
    std::shared_ptr<const std::string> reply;
};

class scenario {
public:
    // Adds the rules of `text`: separated by ";" or new lines, "#" starts a comment that ends
    // with the line. On a rule that cannot be read returns false with *error saying why;
    // the rules before it are kept. A "send FILE" action reads FILE here.
    bool add_rules(const std::string &text, std::string *error);
    // Adds one action for every request, as the command-line options give it
    // (name "drip", value "10:5"; value nullptr for an action without argument).
    bool add_every(const std::string &name, const char *value, std::string *error);
    // Whether `name` is an action (*takes_value: whether it needs an argument).
    static bool is_action(const std::string &name, bool *takes_value);

    // What applies to request `number` with `method` and `path`.
    behaviour for_request(unsigned number, const std::string &method,
                          const std::string &path) const;
    // What applies while the request line is still unknown: the rules for every request.
    behaviour before_request_line() const;
    // Whether some rule reads requests slowly (the listening sockets then get a small
    // receive buffer, which only works when set before a connection is accepted).
    bool reads_slowly() const;

private:
    struct action;
    struct rule;
    std::vector<std::shared_ptr<const rule>> rules_;
};

}  // namespace device
