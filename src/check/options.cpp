// The command line of check_tarvik (see options.h).
#include "check/options.h"

#include <cmath>

#include "snapshot/snapshot.h"

namespace check {

namespace {

// Longest text of a user or password the client library takes (its buffers hold 99 bytes).
constexpr size_t kCredentialMax = QVXML_AUTHENTICATE_MAX - 1;
constexpr double kTimeoutMax = 86400;

// An offending text quoted for a one-line message, cut to keep the line short.
std::string quoted(const std::string &text) {
    constexpr size_t kMax = 40;
    std::string shown = text.size() > kMax ? text.substr(0, kMax) + "..." : text;
    for (char &c : shown)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return "'" + shown + "'";
}

struct option_spec {
    char short_name;  // 0: none
    const char *long_name;
    bool takes_argument;
};

constexpr option_spec kOptions[] = {
    {'H', "hostname", true}, {'p', "port", true},     {'t', "timeout", true},
    {'u', "user", true},     {'P', "password", true}, {0, "password-file", true},
    {'s', "sensor", true},   {0, "inputs", false},    {0, "no-inputs", false},
    {0, "outputs", false},   {'w', "warning", true},  {'c', "critical", true},
    {'v', "verbose", false}, {'V', "version", false}, {'h', "help", false},
};

const option_spec *find_short(char c) {
    for (const option_spec &o : kOptions)
        if (o.short_name == c) return &o;
    return nullptr;
}

const option_spec *find_long(std::string_view name) {
    for (const option_spec &o : kOptions)
        if (name == o.long_name) return &o;
    return nullptr;
}

std::string option_name(const option_spec &o) {
    std::string name;
    if (o.short_name != 0) name = std::string("-") + o.short_name + "/";
    return name + "--" + o.long_name;
}

// Applies one option with its argument; false with a reason on a bad argument.
bool apply(options &opts, const option_spec &o, const std::string &arg, std::string *why) {
    auto fail = [&](const std::string &reason) {
        *why = reason;
        return false;
    };
    const std::string name = o.long_name;
    if (name == "hostname") {
        if (arg.empty()) return fail("empty host name");
        opts.host = arg;
    } else if (name == "port") {
        const std::optional<double> v = arg.find_first_of(".eE") == std::string::npos
                                            ? snapshot::parse_decimal(arg)
                                            : std::nullopt;
        if (!v || *v < 1 || *v > 65535) return fail("port must be 1..65535, not " + quoted(arg));
        opts.port = static_cast<int>(*v);
    } else if (name == "timeout") {
        const std::optional<double> v = snapshot::parse_decimal(arg);
        if (!v || !(*v > 0) || *v > kTimeoutMax)
            return fail("timeout must be a number of seconds above 0 and up to 86400, not " +
                        quoted(arg));
        opts.timeout_s = *v;
    } else if (name == "user") {
        if (arg.size() > kCredentialMax) return fail("user longer than 99 bytes");
        opts.user = arg;
    } else if (name == "password") {
        if (arg.size() > kCredentialMax) return fail("password longer than 99 bytes");
        opts.password = arg;
    } else if (name == "password-file") {
        if (arg.empty()) return fail("empty password file name");
        opts.password_file = arg;
    } else if (name == "sensor") {
        if (arg.empty()) return fail("empty sensor ID or name");
        opts.sensors.push_back(arg);
    } else if (name == "inputs") {
        opts.inputs = true;
    } else if (name == "no-inputs") {
        opts.inputs = false;
    } else if (name == "outputs") {
        opts.outputs = true;
    } else if (name == "warning" || name == "critical") {
        const bool warning = name == "warning";
        // "ID=RANGE": a range never holds '=', a sensor name may.
        const size_t eq = arg.rfind('=');
        const std::string range_part = eq == std::string::npos ? arg : arg.substr(eq + 1);
        std::string reason;
        const std::optional<threshold_range> range = parse_range(range_part, &reason);
        if (!range) return fail("invalid " + name + " range " + quoted(arg) + ": " + reason);
        if (eq == std::string::npos) {
            (warning ? opts.warning : opts.critical) = *range;
        } else {
            if (eq == 0) return fail("no sensor before '=' in " + quoted(arg));
            (warning ? opts.warning_for : opts.critical_for)
                .push_back({arg.substr(0, eq), *range, arg});
        }
    } else if (name == "verbose") {
        if (opts.verbosity < 3) ++opts.verbosity;
    } else if (name == "version") {
        opts.what = options::action::version;
    } else if (name == "help") {
        opts.what = options::action::help;
    }
    return true;
}

}  // namespace

std::optional<options> parse_command_line(const std::vector<std::string> &args, std::string *why) {
    options opts;
    std::string first_error;
    auto error = [&](const std::string &reason) {
        if (first_error.empty()) first_error = reason;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string &word = args[i];
        if (word.size() >= 2 && word[0] == '-' && word[1] == '-') {
            if (word.size() == 2) {
                error("unexpected argument '--'");
                continue;
            }
            const size_t eq = word.find('=');
            const std::string name = word.substr(2, eq == std::string::npos ? eq : eq - 2);
            const option_spec *o = find_long(name);
            if (o == nullptr) {
                error("unknown option " + quoted("--" + name));
                continue;
            }
            std::string arg;
            if (o->takes_argument) {
                if (eq != std::string::npos) {
                    arg = word.substr(eq + 1);
                } else if (i + 1 < args.size()) {
                    arg = args[++i];
                } else {
                    error(option_name(*o) + " needs an argument");
                    continue;
                }
            } else if (eq != std::string::npos) {
                error(option_name(*o) + " takes no argument");
                continue;
            }
            std::string reason;
            if (!apply(opts, *o, arg, &reason)) error(reason);
        } else if (word.size() >= 2 && word[0] == '-') {
            for (size_t k = 1; k < word.size(); ++k) {
                const option_spec *o = find_short(word[k]);
                if (o == nullptr) {
                    error("unknown option " + quoted(std::string("-") + word[k]));
                    break;
                }
                std::string arg;
                if (o->takes_argument) {
                    if (k + 1 < word.size()) {
                        arg = word.substr(k + 1);
                    } else if (i + 1 < args.size()) {
                        arg = args[++i];
                    } else {
                        error(option_name(*o) + " needs an argument");
                        break;
                    }
                }
                std::string reason;
                if (!apply(opts, *o, arg, &reason)) error(reason);
                if (o->takes_argument) break;
            }
        } else {
            error("unexpected argument " + quoted(word));
        }
    }
    if (opts.what != options::action::check) return opts;
    if (first_error.empty() && opts.host.empty()) error("no host: give -H/--hostname");
    if (first_error.empty() && !opts.password.empty() && !opts.password_file.empty())
        error("give either -P/--password or --password-file, not both");
    if (first_error.empty() && opts.user.empty() &&
        (!opts.password.empty() || !opts.password_file.empty()))
        error("a password needs -u/--user");
    if (!first_error.empty()) {
        if (why != nullptr) *why = first_error;
        return std::nullopt;
    }
    return opts;
}

std::string help_text() {
    return R"(check_tarvik - checks an environment-monitoring unit (sensors, binary inputs)

Usage:
  check_tarvik -H HOST [-p PORT] [-t SECONDS] [-u USER [--password-file FILE | -P PASSWORD]]
               [-s ID|NAME]... [--inputs | --no-inputs] [--outputs]
               [-w [ID=]RANGE]... [-c [ID=]RANGE]... [-v]...
  check_tarvik -h | -V

Reads values.xml (and setup.xml, for the safe ranges) from the unit over HTTP and turns
it into a state: by default the unit's own judgement decides (a sensor or binary input in
alarm is CRITICAL, a sensor outside its safe range with no alarm yet is WARNING);
-w/-c ranges decide instead for the sensors they apply to.

Options:
  -H, --hostname HOST    the unit's IPv4 address or name
  -p, --port PORT        its HTTP port (default 80)
  -t, --timeout SECONDS  limit of the whole check, connection included (default 30);
                         past it the check is UNKNOWN and says at which stage it was
  -u, --user USER        user for setup.xml (Basic authorization)
      --password-file FILE  the password: the first line of FILE
  -P, --password PASSWORD   the password on the command line (visible in process lists:
                         prefer --password-file)
  -s, --sensor ID|NAME   check this sensor (repeatable; default: every sensor)
      --inputs           check the binary inputs (default when no -s is given)
      --no-inputs        leave the binary inputs out (default when -s is given)
      --outputs          report the binary outputs' states
  -w, --warning [ID=]RANGE   WARNING when a sensor's value alerts RANGE; ID= (or NAME=)
                         limits it to one sensor (repeatable)
  -c, --critical [ID=]RANGE  CRITICAL likewise
  -v, --verbose          one line per item even for one item (-vv: the unit and the
                         probe; -vvv: the texts the unit sent)
  -V, --version          show the version
  -h, --help             show this text

Ranges ([@][start:][end], ends included; values in the unit's own units, percent for
relative humidity):
  10      alert below 0 or above 10        10:     alert below 10
  ~:10    alert above 10                   10:20   alert below 10 or above 20
  @10:20  alert from 10 to 20

Exit status: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN (the unit cannot be reached, answers
with an HTTP error, refuses the credentials or sends no valid document; a bad command
line; a sensor the unit does not have; the time limit; -h; -V).

Examples:
  check_tarvik -H 192.0.2.10
  check_tarvik -H 192.0.2.10 -s 'Inlet temp' -w 18:27 -c 15:32
  check_tarvik -H 192.0.2.10 -u monitor --password-file /etc/nagios/tarvik.pw -c 3=~:30
)";
}

}  // namespace check
