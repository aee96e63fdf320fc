#include "process.h"

#include <cstdlib>
#include <regex>

namespace exporter_test {

std::string exporter_path() {
    return qvtest::program_path("tarvik_exporter");
}

exporter_process::exporter_process(const std::vector<std::string> &args, const std::string &log_dir,
                                   const std::string &name)
    : process_(
          [&] {
              std::vector<std::string> argv = {exporter_path(), "--web.listen-address=127.0.0.1:0"};
              argv.insert(argv.end(), args.begin(), args.end());
              return argv;
          }(),
          log_dir, name) {
    if (!process_.wait_for_output("msg=Listening", std::chrono::seconds(30))) return;
    std::smatch match;
    const std::string log = process_.output();
    static const std::regex port_field("msg=Listening .*port=([0-9]+)");
    if (std::regex_search(log, match, port_field)) port_ = std::atoi(match[1].str().c_str());
}

}  // namespace exporter_test
