// The exporter of this build started in the background for the exporter tests; other
// long-running programs (Prometheus) through the shared qvtest::background_process.
#pragma once

#include <string>
#include <vector>

#include "support.h"

namespace exporter_test {

using qvtest::background_process;

// The exporter of this build with `args` and "--web.listen-address=127.0.0.1:0"; waits up to
// 30 s (sanitizer builds on a busy machine start slowly) for its "Listening" line and reads the
// port from it (0 when it did not start).
class exporter_process {
public:
    exporter_process(const std::vector<std::string> &args, const std::string &log_dir,
                     const std::string &name = "exporter");
    int port() const { return port_; }
    background_process &process() { return process_; }

private:
    background_process process_;
    int port_ = 0;
};

std::string exporter_path();

}  // namespace exporter_test
