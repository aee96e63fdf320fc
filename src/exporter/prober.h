// The probe behind /probe: one device snapshot of the target (src/snapshot), rendered.
#pragma once

#include "exporter/server.h"

namespace exporter {

// Runs snapshot::probe for `job` with the module's credentials and setup choice, bounded by
// job.deadline, and renders the answer; hands it to job.answer_now as soon as the outcome
// is known, before the library module is closed, and then returns an answer with an empty
// body (answer_now sends its first call only). REQUIRES: qvxml_init has been called.
probe_answer probe_unit(const probe_job &job);

}  // namespace exporter
