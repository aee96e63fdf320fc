// The exporter's own health, served on /metrics (never in a probe's answer): build info,
// probes by result, probe time, probes in flight, requests refused, the library modules in
// use and the state of the last configuration reload. Safe from any thread.
#pragma once

#include <prometheus/counter.h>
#include <prometheus/family.h>
#include <prometheus/gauge.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <functional>
#include <memory>
#include <string>

namespace exporter {

// Why a /probe request was answered without probing.
enum class refusal { bad_request, unknown_module, denied, over_capacity };

class self_metrics {
public:
    // `modules_in_use` is asked at every render (the library's modules held by probes).
    explicit self_metrics(std::function<int()> modules_in_use);
    self_metrics(const self_metrics &) = delete;
    self_metrics &operator=(const self_metrics &) = delete;

    void probe_started();
    void probe_finished(bool success, double seconds);
    void refused(refusal why);
    void reload_result(bool success);

    // The exposition text of the exporter's registry.
    std::string render();

private:
    std::function<int()> modules_in_use_;
    std::shared_ptr<prometheus::Registry> registry_;
    prometheus::Gauge *in_flight_;
    prometheus::Counter *success_;
    prometheus::Counter *failure_;
    prometheus::Histogram *duration_;
    prometheus::Counter *refused_[4];
    prometheus::Gauge *modules_;
    prometheus::Gauge *reload_ok_;
    prometheus::Gauge *reload_time_;
};

}  // namespace exporter
