// tarvik_exporter: Prometheus probes of environment-monitoring units. main parses the
// command line, loads the configuration, starts the library and the HTTP server, then
// waits for signals: SIGHUP reloads the configuration, SIGINT and SIGTERM end the program.
//
// Exit codes: 0 after --help, --version or a signal that ends it; 1 when it cannot start
// (configuration, listen address, library); 2 for a bad command line.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>

#include "exporter/config.h"
#include "exporter/log.h"
#include "exporter/options.h"
#include "exporter/prober.h"
#include "exporter/server.h"
#include "qvxml.h"

namespace {

// The library's own debug lines go to the log at debug level.
void library_log(const char *text, void *) {
    exporter::log(exporter::log_level::debug, "library", {{"text", text != nullptr ? text : ""}});
}

}  // namespace

int main(int argc, char **argv) {
    using namespace exporter;
    exporter_options options;
    std::string error;
    if (!parse_options(argc, argv, &options, &error)) {
        std::fprintf(stderr, "tarvik_exporter: error: %s\n", error.c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::fputs(version_text().c_str(), stdout);
        return 0;
    }
    set_log_level(options.level);

    auto config = std::make_shared<exporter_config>(builtin_config());
    if (!options.config_file.empty() &&
        !load_config_file(options.config_file, config.get(), &error)) {
        log(log_level::error, "Cannot load the configuration", {{"reason", error}});
        return 1;
    }

    // Every thread started from here on (the library's, civetweb's) inherits this mask, so
    // the signals reach only the sigwait below.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    // Every probe opens a library module whose buffers (about 0.8 MB) are allocated at the
    // open and freed at the close. Kept in the heap instead of mapped and unmapped each time,
    // they cost no page faults per probe (about a tenth of a probe's CPU time under load).
    mallopt(M_MMAP_THRESHOLD, 8 << 20);
    mallopt(M_TRIM_THRESHOLD, 128 << 20);

    qvgapi_debug(library_log, nullptr);
    if (qvxml_init() != 0) {
        xml_fault_record fault{};
        qvxml_error(0, &fault);
        log(log_level::error, "Cannot start the client library",
            {{"code", std::to_string(fault.code)}});
        return 1;
    }

    const std::string version = version_text();
    log(log_level::info, "Starting tarvik_exporter",
        {{"version",
          version.substr(version.rfind(' ') + 1, version.size() - version.rfind(' ') - 2)},
         {"config", config->source}});
    exporter_server server(options, config, probe_unit);
    if (!server.start(&error)) {
        log(log_level::error, "Cannot start the HTTP server", {{"reason", error}});
        qvxml_uninit();
        return 1;
    }
    log(log_level::info, "Listening",
        {{"address", options.listen_address}, {"port", std::to_string(server.port())}});

    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) continue;
        if (received == SIGHUP) {
            std::string reason;
            server.reload(&reason);  // logs either way
            continue;
        }
        log(log_level::info, "Stopping", {{"signal", received == SIGINT ? "SIGINT" : "SIGTERM"}});
        break;
    }
    // Requests under way end by their deadline; then no thread uses the library any more.
    server.stop();
    qvxml_uninit();
    log(log_level::info, "Stopped");
    return 0;
}
