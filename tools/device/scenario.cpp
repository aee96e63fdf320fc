// Scenario rules of tarvik-device (see scenario.h).
#include "scenario.h"

#include <cctype>
#include <sstream>

#include "text.h"

namespace device {

namespace {

// How an action's argument reads: none, a number in [low, high], BYTES:MS or a file name.
enum class argument { none, number, pair, file };

// An action and the fields of a behaviour it sets: `flag` to true, `first` to the number (or
// the BYTES of BYTES:MS), `second` to the MS; a file argument becomes the reply; `forget`
// goes back to a sound behaviour.
struct action_kind {
    const char *name;
    argument arg = argument::none;
    int low = 0, high = 0;
    bool behaviour::*flag = nullptr;
    int behaviour::*first = nullptr;
    int behaviour::*second = nullptr;
    bool forget = false;
};

// The actions by name; a command-line option is the name with "--" in front.
constexpr action_kind kActions[] = {
    {"status", argument::number, 100, 999, nullptr, &behaviour::status},
    {"silent", argument::none, 0, 0, &behaviour::silent},
    {"hold", argument::none, 0, 0, &behaviour::hold},
    {"delay", argument::number, 0, 600000, nullptr, &behaviour::delay_ms},
    {"close-in-header", argument::none, 0, 0, &behaviour::close_in_header},
    {"close-in-body", argument::none, 0, 0, &behaviour::close_in_body},
    {"split-header", argument::number, 0, 60000, nullptr, &behaviour::split_header_ms},
    {"drip", argument::pair, 0, 0, nullptr, &behaviour::drip_bytes, &behaviour::drip_ms},
    {"garbage", argument::none, 0, 0, &behaviour::garbage},
    {"endless-header", argument::none, 0, 0, &behaviour::endless_header},
    {"oversize", argument::none, 0, 0, &behaviour::oversize},
    {"slow-read", argument::pair, 0, 0, nullptr, &behaviour::slow_bytes, &behaviour::slow_ms},
    {"send", argument::file},
    {"normal", argument::none, 0, 0, nullptr, nullptr, nullptr, true},
};

const action_kind *find_action(const std::string &name) {
    for (const action_kind &kind : kActions)
        if (name == kind.name) return &kind;
    return nullptr;
}

}  // namespace

struct scenario::action {
    const action_kind *kind;
    int a = 0, b = 0;
    std::shared_ptr<const std::string> bytes;  // a file argument

    void apply(behaviour *to) const {
        if (kind->forget) *to = behaviour{};
        if (kind->flag != nullptr) to->*kind->flag = true;
        if (kind->first != nullptr) to->*kind->first = a;
        if (kind->second != nullptr) to->*kind->second = b;
        if (kind->arg == argument::file) to->reply = bytes;
    }
};

struct scenario::rule {
    unsigned first = 1, last = UINT_MAX;  // request numbers
    std::string method, path;             // empty: any
    std::vector<action> actions;

    bool every() const { return first == 1 && last == UINT_MAX && method.empty() && path.empty(); }
    bool selects(unsigned number, const std::string &m, const std::string &p) const {
        return number >= first && number <= last && (method.empty() || method == m) &&
               (path.empty() || path == p);
    }
};

namespace {

// Reads `kind`'s argument from `value` into *a, *b (number, pair) or *bytes (file).
bool read_argument(const action_kind &kind, const std::string &value, int *a, int *b,
                   std::shared_ptr<const std::string> *bytes, std::string *error) {
    bool ok = true;
    switch (kind.arg) {
        case argument::none:
            break;
        case argument::number:
            ok = parse_int(value.c_str(), kind.low, kind.high, a);
            break;
        case argument::pair:
            ok = parse_pair(value.c_str(), a, b);
            break;
        case argument::file: {
            auto text = std::make_shared<std::string>();
            if (!read_file(value, text.get(), error)) return false;
            *bytes = std::move(text);
            break;
        }
    }
    if (!ok) *error = "bad value '" + value + "' for " + kind.name;
    return ok;
}

// "N", "N-M" or "N-" into [*first, *last].
bool read_numbers(const std::string &token, unsigned *first, unsigned *last) {
    const size_t dash = token.find('-');
    int a = 0, b = INT_MAX;
    if (!parse_int(token.substr(0, dash).c_str(), 1, INT_MAX, &a)) return false;
    if (dash == std::string::npos)
        b = a;
    else if (dash + 1 < token.size() && !parse_int(token.c_str() + dash + 1, a, INT_MAX, &b))
        return false;
    *first = static_cast<unsigned>(a);
    *last = b == INT_MAX ? UINT_MAX : static_cast<unsigned>(b);
    return true;
}

bool is_method(const std::string &token) {
    for (const char c : token)
        if (!std::isupper(static_cast<unsigned char>(c))) return false;
    return !token.empty();
}

}  // namespace

bool scenario::is_action(const std::string &name, bool *takes_value) {
    const action_kind *kind = find_action(name);
    if (kind != nullptr) *takes_value = kind->arg != argument::none;
    return kind != nullptr;
}

bool scenario::add_every(const std::string &name, const char *value, std::string *error) {
    const action_kind *kind = find_action(name);
    if (kind == nullptr) {
        *error = "unknown action '" + name + "'";
        return false;
    }
    auto r = std::make_shared<rule>();
    action act{kind, 0, 0, nullptr};
    if (!read_argument(*kind, value != nullptr ? value : "", &act.a, &act.b, &act.bytes, error))
        return false;
    r->actions.push_back(std::move(act));
    rules_.push_back(std::move(r));
    return true;
}

bool scenario::add_rules(const std::string &text, std::string *error) {
    // Comments out, then one rule per ";" or line.
    std::string plain;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '#') {
            while (i < text.size() && text[i] != '\n') ++i;
            if (i == text.size()) break;
        }
        plain += text[i] == '\n' ? ';' : text[i];
    }
    std::istringstream rules(plain);
    for (std::string line; std::getline(rules, line, ';');) {
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (w.empty()) continue;
        const std::string where = "in rule '" + line + "': ";
        auto r = std::make_shared<rule>();
        size_t at = 1;
        if (w[0] == "*") {
        } else if (std::isdigit(static_cast<unsigned char>(w[0][0]))) {
            if (!read_numbers(w[0], &r->first, &r->last)) {
                *error = where + "bad request number '" + w[0] + "'";
                return false;
            }
        } else if (w[0][0] == '/') {
            r->path = w[0];
        } else if (is_method(w[0])) {
            r->method = w[0];
            if (w.size() > 1 && w[1][0] == '/') r->path = w[at++];
        } else {
            *error = where + "'" + w[0] + "' selects no request (*, N, N-M, METHOD, /PATH)";
            return false;
        }
        if (at == w.size()) {
            *error = where + "no action";
            return false;
        }
        for (; at < w.size(); ++at) {
            const action_kind *kind = find_action(w[at]);
            if (kind == nullptr) {
                *error = where + "unknown action '" + w[at] + "'";
                return false;
            }
            action act{kind, 0, 0, nullptr};
            if (kind->arg != argument::none && ++at == w.size()) {
                *error = where + kind->name + " needs a value";
                return false;
            }
            const std::string value = kind->arg != argument::none ? w[at] : "";
            if (!read_argument(*kind, value, &act.a, &act.b, &act.bytes, error)) {
                *error = where + *error;
                return false;
            }
            r->actions.push_back(std::move(act));
        }
        rules_.push_back(std::move(r));
    }
    return true;
}

behaviour scenario::for_request(unsigned number, const std::string &method,
                                const std::string &path) const {
    behaviour b;
    for (const auto &r : rules_)
        if (r->selects(number, method, path))
            for (const action &a : r->actions) a.apply(&b);
    return b;
}

behaviour scenario::before_request_line() const {
    behaviour b;
    for (const auto &r : rules_)
        if (r->every())
            for (const action &a : r->actions) a.apply(&b);
    return b;
}

bool scenario::reads_slowly() const {
    for (const auto &r : rules_)
        for (const action &a : r->actions)
            if (a.kind->first == &behaviour::slow_bytes) return true;
    return false;
}

}  // namespace device
