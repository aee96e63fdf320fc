// The module table's storage, the library globals and the completion dispatch.
#include "core/xml_module.h"

#include <cstring>
#include <ctime>
#include <memory>
#include <type_traits>

#include "core/xml_thread.h"

// Constant-initialized and never destroyed: the per-id mutexes are usable from the start of
// the program, before any dynamic initializer runs, until its very end (a worker that
// outlives main may still record a fault).
static_assert(std::is_trivially_destructible_v<xml_module_state>);
constinit xml_module_state xml_module[QVXML_ID_COUNT_MAX]{};
modules_list_entry modules_list[QVXML_ID_COUNT_MAX];

kyvern_values *p_kyvern_values[QVXML_ID_COUNT_MAX];
kyvern_values_entry_count *p_kyvern_values_entry_count[QVXML_ID_COUNT_MAX];
kyvern_setup *p_kyvern_setup[QVXML_ID_COUNT_MAX];
kyvern_setup_entry_count *p_kyvern_setup_entry_count[QVXML_ID_COUNT_MAX];

std::atomic<int> qvxml_count_ref{-1};
int id_count = 1;
std::atomic<int> qvxml_exit{0};
int qvxml_thread_type = 0;
qv_sem xml_sem = nullptr;

namespace {

// The records handed to callbacks: copies in the dispatching worker's own memory, made once
// per thread (a setup record is about 130 KB, too large for a thread's stack) and reused.
struct scratch_records {
    kyvern_values values;
    kyvern_values_entry_count values_count;
    kyvern_setup setup;
    kyvern_setup_entry_count setup_count;
};

scratch_records &scratch() {
    thread_local std::unique_ptr<scratch_records> records(new scratch_records());
    return *records;
}

}  // namespace

void xml_stamp_records(int id, int sub, int kind) {
    const auto now = static_cast<int32_t>(std::time(nullptr));
    if (kind == XML_KIND_VALUES) {
        if (p_kyvern_values[id] != nullptr) p_kyvern_values[id]->time_stamp = now;
    } else if (p_kyvern_setup[id] != nullptr) {
        p_kyvern_setup[id]->time_stamp = now;
    }
    if (sub != -1 && sub >= 0 && sub < QVXML_MODULES_MAX && modules_list[id].sub[sub] != nullptr) {
        xml_submodule_state *device = modules_list[id].sub[sub];
        if (kind == XML_KIND_VALUES)
            device->values.time_stamp = now;
        else
            device->setup.time_stamp = now;
    }
}

void run_callback(int id, int sub, int kind, int failed) {
    xml_stamp_records(id, sub, kind);
    xml_deliver(id, sub, kind, failed);
}

void xml_deliver(int id, int sub, int kind, int failed) {
    // The slots may be replaced by qvxml_callback on another thread: read them under the lock.
    qvxml_callbacks slots;
    void *user;
    {
        xml_lock lock(id);
        slots = xml_module[id].settings.callbacks;
        user = xml_module[id].user_ptr;
    }

    if (kind == XML_KIND_VALUES) {
        if (slots.on_values == nullptr) return;
        if (failed) {
            slots.on_values(id, user, sub, nullptr, nullptr);
            return;
        }
        scratch_records &s = scratch();
        // With a parse callback the built-in records are not produced: hand out cleared
        // records rather than what an earlier completion left in the scratch copies.
        const bool built_in = slots.on_parse == nullptr;
        xml_copy_record(&s.values, built_in ? p_kyvern_values[id] : nullptr);
        xml_copy_record(&s.values_count, built_in ? p_kyvern_values_entry_count[id] : nullptr);
        slots.on_values(id, user, sub, &s.values, &s.values_count);
        return;
    }

    qvxml_setup_callback slot = kind == XML_KIND_SETUP ? slots.on_setup : slots.on_send_setup;
    if (slot == nullptr) return;
    if (failed) {
        slot(id, user, sub, nullptr, nullptr);
        return;
    }
    scratch_records &s = scratch();
    const bool built_in = slots.on_parse == nullptr;
    xml_copy_record(&s.setup, built_in ? p_kyvern_setup[id] : nullptr);
    xml_copy_record(&s.setup_count, built_in ? p_kyvern_setup_entry_count[id] : nullptr);
    slot(id, user, sub, &s.setup, &s.setup_count);
}
