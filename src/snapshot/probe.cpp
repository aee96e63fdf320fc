// One probe of a unit through the public client interface (see snapshot.h).
//
// The module's completion callbacks run on its worker thread. They convert the records they
// are handed (copies valid only during the call) into the model at once, and publish the
// result to the probing thread through a context of this probe (the open's user pointer):
// a mutex, a condition variable and what was read. The probing thread waits on the condition
// variable until its own deadline, so the deadline has the clock's precision, and is the one
// that closes the module (never a callback).
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "snapshot/snapshot.h"
#include "snapshot/snapshot_internal.h"

namespace snapshot {

namespace {

using clock_type = std::chrono::steady_clock;

struct probe_context {
    std::mutex mutex;
    std::atomic<stage> *progress = nullptr;  // the caller's, or null; guarded by mutex
    std::condition_variable changed;
    // Guarded by mutex.
    bool connected = false;  // a connection of the current request reached the unit
    bool values_done = false;
    bool values_ok = false;
    bool setup_done = false;
    bool setup_ok = false;
    fault values_fault;
    fault setup_fault;
    device model;
    setup_info setup;
};

fault copy_fault(const xml_fault_record &r) {
    fault f;
    f.code = r.code;
    f.message = std::string(field(r.message));
    f.errno_value = r.errno_value;
    f.errno_text = std::string(field(r.errno_text));
    return f;
}

fault read_fault(int id) {
    xml_fault_record r;
    std::memset(&r, 0, sizeof r);
    qvxml_error(id, &r);
    return copy_fault(r);
}

// A fault of this probe that the library did not record (no code of its own).
fault own_fault(int code, const char *message) {
    fault f;
    f.code = code;
    f.message = message;
    return f;
}

fault code_fault(int code) {
    char message[QVXML_ERROR_TEXT_SIZE] = {};
    qv_error_i2s(code, message);
    return own_fault(code, message);
}

// Callbacks: no exception may leave them (they run inside the library's worker).
void report(std::atomic<stage> *progress, stage s) {
    if (progress != nullptr) progress->store(s);
}

void on_connect(int, void *user, int) {
    auto *ctx = static_cast<probe_context *>(user);
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->connected = true;
    if (!ctx->values_done) report(ctx->progress, stage::values);
}

// The library's own check of the document just read (not empty, holds "<?xml"), as tarvik
// makes it: a text that is no document leaves empty records, which would otherwise pass for
// a unit with nothing to report. Records the check's code on `id` when it fails.
bool document_sound(int id, int (*get)(int, char **, int *)) {
    char *xml = nullptr;
    int length = 0;
    return get(id, &xml, &length) == 0;
}

void on_values(int id, void *user, int, kyvern_values *values, kyvern_values_entry_count *count) {
    auto *ctx = static_cast<probe_context *>(user);
    bool ok = false;
    device model;
    fault f;
    if (values == nullptr || count == nullptr || !document_sound(id, qvxml_get_values_xml)) {
        f = read_fault(id);
    } else {
        try {
            model = from_values(*values, *count);
            ok = true;
        } catch (...) {
            f = own_fault(0, "out of memory");
        }
    }
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->values_ok = ok;
    if (ok)
        ctx->model = std::move(model);
    else
        ctx->values_fault = std::move(f);
    ctx->values_done = true;
    ctx->changed.notify_all();
}

void on_setup(int id, void *user, int, kyvern_setup *setup, kyvern_setup_entry_count *count) {
    auto *ctx = static_cast<probe_context *>(user);
    bool ok = false;
    setup_info info;
    fault f;
    if (setup == nullptr || count == nullptr || !document_sound(id, qvxml_get_setup_xml)) {
        f = read_fault(id);
    } else {
        try {
            info = from_setup(*setup, *count);
            ok = true;
        } catch (...) {
            f = own_fault(0, "out of memory");
        }
    }
    std::lock_guard<std::mutex> lock(ctx->mutex);
    ctx->setup_ok = ok;
    if (ok)
        ctx->setup = std::move(info);
    else
        ctx->setup_fault = std::move(f);
    ctx->setup_done = true;
    ctx->changed.notify_all();
}

// Queues a GET (qvxml_get_values or qvxml_get_setup) on module `id`, retrying while the
// module's worker is still starting (code 40) until `deadline`. 0, or the call's -1.
template <typename Request>
int queue_when_running(int id, Request request, clock_type::time_point deadline) {
    auto pause = std::chrono::microseconds(50);
    for (;;) {
        if (request(id) == 0) return 0;
        xml_fault_record r;
        std::memset(&r, 0, sizeof r);
        qvxml_error(id, &r);
        if (r.code != 40 || clock_type::now() >= deadline) return -1;
        std::this_thread::sleep_for(pause);
        if (pause < std::chrono::milliseconds(2)) pause *= 2;
    }
}

}  // namespace

const char *stage_name(stage s) {
    switch (s) {
        case stage::connect:
            return "connect";
        case stage::values:
            return "values";
        case stage::setup:
            return "setup";
        case stage::none:
            break;
    }
    return "none";
}

probe_result probe(const probe_options &options) {
    const auto start = clock_type::now();
    report(options.progress, stage::connect);
    probe_result result;
    auto finish = [&](probe_result &r) -> probe_result {
        report(options.progress, stage::none);
        r.duration = clock_type::now() - start;
        return std::move(r);
    };
    auto fail = [&](stage s, fault f) -> probe_result {
        result.success = false;
        result.failed_stage = s;
        result.error = std::move(f);
        return finish(result);
    };

    if (options.user.size() >= QVXML_AUTHENTICATE_MAX) return fail(stage::connect, code_fault(43));
    if (options.password.size() >= QVXML_AUTHENTICATE_MAX)
        return fail(stage::connect, code_fault(42));
    if (start >= options.deadline) {
        result.timed_out = true;
        return fail(stage::connect, {});
    }

    qvxml_settings settings;
    qvxml_clr_settings_struct(&settings);
    settings.test_connection = 0;
    std::memcpy(settings.get_user, options.user.data(), options.user.size());
    std::memcpy(settings.get_password, options.password.data(), options.password.size());
    settings.callbacks.on_values = on_values;
    settings.callbacks.on_setup = on_setup;
    settings.callbacks.on_connect = on_connect;

    auto ctx = std::make_unique<probe_context>();
    ctx->progress = options.progress;
    const int id = qvxml_open(options.host.c_str(), options.port, &settings, ctx.get());
    if (id < 0) return fail(stage::connect, read_fault(0));

    // From here the module is closed on every path, and the context outlives its callbacks.
    stage at = stage::connect;
    bool timed_out = false;
    bool failed = false;
    fault error;
    auto wait_for = [&](bool probe_context::*done) {
        std::unique_lock<std::mutex> lock(ctx->mutex);
        return ctx->changed.wait_until(lock, options.deadline, [&] { return ctx.get()->*done; });
    };

    if (queue_when_running(id, qvxml_get_values, options.deadline) != 0) {
        failed = true;
        timed_out = clock_type::now() >= options.deadline;
        if (!timed_out) error = read_fault(id);
    } else if (!wait_for(&probe_context::values_done)) {
        failed = timed_out = true;
        std::lock_guard<std::mutex> lock(ctx->mutex);
        if (ctx->connected) at = stage::values;
    } else {
        std::unique_lock<std::mutex> lock(ctx->mutex);
        if (!ctx->values_ok) {
            failed = true;
            at = ctx->connected ? stage::values : stage::connect;
            error = ctx->values_fault;
        }
    }

    if (!failed && options.read_setup) {
        at = stage::setup;
        report(options.progress, stage::setup);
        if (queue_when_running(id, qvxml_get_setup, options.deadline) != 0) {
            failed = true;
            timed_out = clock_type::now() >= options.deadline;
            if (!timed_out) error = read_fault(id);
        } else if (!wait_for(&probe_context::setup_done)) {
            failed = timed_out = true;
        } else {
            std::lock_guard<std::mutex> lock(ctx->mutex);
            if (!ctx->setup_ok) {
                failed = true;
                error = ctx->setup_fault;
            }
        }
    }

    // Without a time-out no request is left in flight, so no callback writes the context any
    // more: the outcome handed out before the close is then also the result, and its model is
    // moved rather than copied. After a time-out a late callback may still publish before the
    // close, and the result is built again from the context.
    probe_result early;
    const bool handed_over = options.on_outcome && !timed_out;
    if (options.on_outcome) {
        {
            std::lock_guard<std::mutex> lock(ctx->mutex);
            early.values_read = ctx->values_done && ctx->values_ok;
            early.setup_read = options.read_setup && ctx->setup_done && ctx->setup_ok;
            if (early.values_read) {
                if (handed_over)
                    early.model = std::move(ctx->model);
                else
                    early.model = ctx->model;
                if (early.setup_read) apply_setup(early.model, ctx->setup);
            }
        }
        early.timed_out = timed_out;
        early.success = !failed;
        if (failed) {
            early.failed_stage = at;
            early.error = error;
        }
        early.duration = clock_type::now() - start;
        try {
            options.on_outcome(early);
        } catch (...) {
        }
    }

    // A close whose worker did not end in time leaves it running with this context as its
    // user pointer: the context is then left allocated on purpose, so a late callback never
    // writes into freed memory.
    {
        // A late callback must not write to the caller's progress once the probe returns.
        std::lock_guard<std::mutex> lock(ctx->mutex);
        ctx->progress = nullptr;
    }
    const bool closed = qvxml_close(id) == 0;
    {
        std::lock_guard<std::mutex> lock(ctx->mutex);
        // What the callbacks published before the deadline (or later, before the close).
        if (handed_over) {
            result.values_read = early.values_read;
            result.setup_read = early.setup_read;
            result.model = std::move(early.model);
        } else {
            result.values_read = ctx->values_done && ctx->values_ok;
            result.setup_read = options.read_setup && ctx->setup_done && ctx->setup_ok;
            if (result.values_read) result.model = std::move(ctx->model);
            if (result.values_read && result.setup_read) apply_setup(result.model, ctx->setup);
        }
    }
    if (!closed) (void)ctx.release();

    result.timed_out = timed_out;
    if (failed) return fail(at, std::move(error));
    result.success = true;
    return finish(result);
}

std::string describe_failure(const probe_result &result) {
    if (result.success) return "";
    std::string text = stage_name(result.failed_stage);
    text += ": ";
    if (result.timed_out) return text + "timeout";
    if (result.error.code == 0 && result.error.message.empty()) return text + "failed";
    text += result.error.message;
    text += " (" + std::to_string(result.error.code) + ")";
    return text;
}

}  // namespace snapshot
