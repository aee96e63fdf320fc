#include "exporter/prober.h"

#include <chrono>

#include "exporter/exposition.h"
#include "snapshot/snapshot.h"

namespace exporter {

probe_answer probe_unit(const probe_job &job) {
    snapshot::probe_options options;
    options.host = job.target.host;
    options.port = job.target.port;
    options.user = job.module->username;
    options.password = job.module->password;
    options.read_setup = job.module->read_setup;
    options.deadline = job.deadline;
    const probe_render_options render{job.timeout_s, job.module->read_setup};
    // Rendered once: the answer handed out before the close is the answer (answer_now sends
    // only its first call), so the result after the close is not rendered again.
    bool answered = false;
    if (job.answer_now) {
        options.on_outcome = [&](const snapshot::probe_result &outcome) {
            job.answer_now({outcome.values_read, render_probe(outcome, render)});
            answered = true;
        };
    }
    const snapshot::probe_result result = snapshot::probe(options);
    probe_answer answer;
    answer.success = result.values_read;
    if (!answered) answer.body = render_probe(result, render);
    return answer;
}

}  // namespace exporter
