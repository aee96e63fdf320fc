// The probe behind /probe: one device snapshot of the target (src/snapshot), rendered.
#pragma once

#include <atomic>

#include "exporter/server.h"

namespace exporter {

// Runs snapshot::probe for `job` with the module's credentials and setup choice, bounded by
// job.deadline, and renders the answer. `modules_in_use` counts the probes that hold a
// library module at this moment. REQUIRES: qvxml_init has been called.
probe_answer probe_unit(const probe_job &job, std::atomic<int> &modules_in_use);

}  // namespace exporter
