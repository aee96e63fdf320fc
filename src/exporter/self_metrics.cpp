#include "exporter/self_metrics.h"

#include <prometheus/text_serializer.h>

#include <chrono>

#include "exporter/options.h"

#ifndef QV_EXPORTER_VERSION
#define QV_EXPORTER_VERSION "unknown"
#endif

namespace exporter {

namespace {

double now_seconds() {
    using namespace std::chrono;
    return duration_cast<duration<double>>(system_clock::now().time_since_epoch()).count();
}

}  // namespace

self_metrics::self_metrics(std::function<int()> modules_in_use)
    : modules_in_use_(std::move(modules_in_use)),
      registry_(std::make_shared<prometheus::Registry>()) {
    using namespace prometheus;
    BuildGauge()
        .Name("tarvik_exporter_build_info")
        .Help("Version of tarvik_exporter; the value is always 1.")
        .Register(*registry_)
        .Add({{"version", QV_EXPORTER_VERSION}})
        .Set(1);
    in_flight_ = &BuildGauge()
                      .Name("tarvik_exporter_probes_in_flight")
                      .Help("Probes running now.")
                      .Register(*registry_)
                      .Add({});
    auto &probes = BuildCounter()
                       .Name("tarvik_exporter_probes_total")
                       .Help("Probes run, by result.")
                       .Register(*registry_);
    success_ = &probes.Add({{"result", "success"}});
    failure_ = &probes.Add({{"result", "failure"}});
    duration_ = &BuildHistogram()
                     .Name("tarvik_exporter_probe_duration_seconds")
                     .Help("Time from the start of a probe to its answer.")
                     .Register(*registry_)
                     .Add({}, Histogram::BucketBoundaries{0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5,
                                                          5, 10, 30});
    auto &refusals = BuildCounter()
                         .Name("tarvik_exporter_probe_requests_refused_total")
                         .Help("/probe requests answered without probing, by reason.")
                         .Register(*registry_);
    refused_[static_cast<int>(refusal::bad_request)] = &refusals.Add({{"reason", "bad_request"}});
    refused_[static_cast<int>(refusal::unknown_module)] =
        &refusals.Add({{"reason", "unknown_module"}});
    refused_[static_cast<int>(refusal::denied)] = &refusals.Add({{"reason", "denied"}});
    refused_[static_cast<int>(refusal::over_capacity)] =
        &refusals.Add({{"reason", "over_capacity"}});
    modules_ = &BuildGauge()
                    .Name("tarvik_exporter_library_modules")
                    .Help("Device modules of the client library held by probes now (at most 98).")
                    .Register(*registry_)
                    .Add({});
    reload_ok_ = &BuildGauge()
                      .Name("tarvik_exporter_config_last_reload_successful")
                      .Help("Whether the last configuration reload succeeded.")
                      .Register(*registry_)
                      .Add({});
    reload_time_ = &BuildGauge()
                        .Name("tarvik_exporter_config_last_reload_success_timestamp_seconds")
                        .Help("Time of the last successful configuration load.")
                        .Register(*registry_)
                        .Add({});
    reload_ok_->Set(1);
    reload_time_->Set(now_seconds());
}

void self_metrics::probe_started() {
    in_flight_->Increment();
}

void self_metrics::probe_finished(bool success, double seconds) {
    in_flight_->Decrement();
    (success ? success_ : failure_)->Increment();
    duration_->Observe(seconds);
}

void self_metrics::refused(refusal why) {
    refused_[static_cast<int>(why)]->Increment();
}

void self_metrics::reload_result(bool success) {
    reload_ok_->Set(success ? 1 : 0);
    if (success) reload_time_->Set(now_seconds());
}

std::string self_metrics::render() {
    modules_->Set(modules_in_use_ ? modules_in_use_() : 0);
    return prometheus::TextSerializer().Serialize(registry_->Collect());
}

}  // namespace exporter
