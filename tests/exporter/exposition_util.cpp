#include "exposition_util.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

#include "support.h"

namespace exporter_test {

std::map<std::string, double> parse_exposition(const std::string &text) {
    std::map<std::string, double> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        const size_t space = line.rfind(' ');
        char *end = nullptr;
        const double value =
            space == std::string::npos ? 0 : std::strtod(line.c_str() + space + 1, &end);
        if (space == std::string::npos || end == nullptr || *end != '\0') {
            out["!bad:" + line] = 0;
            continue;
        }
        out[line.substr(0, space)] = value;
    }
    return out;
}

std::string promtool_path() {
    return ::access("/usr/bin/promtool", X_OK) == 0 ? "/usr/bin/promtool" : "";
}

int promtool_check_metrics(const std::string &text, std::string *output) {
    qvtest::temp_dir dir;
    const std::string file = dir.file("metrics.txt");
    qvtest::write_file(file, text);
    const qvtest::run_result r =
        qvtest::run({"/bin/sh", "-c", promtool_path() + " check metrics < '" + file + "'"},
                    std::chrono::seconds(30), {true});
    *output = r.out;
    return r.exit_code;
}

}  // namespace exporter_test
