// Result accessors: the last documents and parsed records of a module, or of one device of a
// many-device module, as pointers into library storage, copies, or files.
//
// Every form but the status operations and the SNMP cache passes the same checks in the same
// order: (many forms) the index, the gate of allowed last-error codes, (single forms) the
// request state, the document length, the "<?xml" test; each failing check records its code
// on the module and returns -1. Only reading the last error takes a lock: callers use the
// accessors from a completion callback or after the request has finished.
#include <cstring>

#include "client/client.h"
#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"

namespace {

enum class doc { values, setup };

// Codes after which an accessor may still deliver: the module's last request left no fault
// that makes its document doubtful.
bool gate_allows(int code) {
    switch (code) {
        case QV_E_NONE:
        case QV_E_NOT_FINISHED:
        case QV_E_INDEX_NOT_VALID:
        case QV_E_FILE_NOT_FOUND:
        case QV_E_FILE_NOT_VALID:
        case QV_E_ID_NOT_FOUND:
        case QV_E_PASSWORD_TOO_LONG:
        case QV_E_USER_TOO_LONG:
            return true;
        default:
            return false;
    }
}

// The document text and its length for one form.
struct document_view {
    char *text;
    int *length;
};

// Checks the length and the "<?xml" test; records 10 or 11 on `id`.
bool document_valid(int id, const document_view &d) {
    if (*d.length == 0) {
        xml_except(id, QV_E_FILE_NOT_FOUND);
        return false;
    }
    const size_t bound = *d.length > 0 && *d.length < QVXML_BUFFER_SIZE
                             ? static_cast<size_t>(*d.length)
                             : static_cast<size_t>(QVXML_BUFFER_SIZE - 1);
    const size_t n = strnlen(d.text, bound);
    if (memmem(d.text, n, "<?xml", 5) == nullptr) {
        xml_except(id, QV_E_FILE_NOT_VALID);
        return false;
    }
    return true;
}

// Single forms: id range, gate, request state, length, "<?xml". Returns the document or
// null after recording the failure.
bool single_checks(int id, doc kind, document_view *out) {
    if (!client_id_checked(id)) return false;
    xml_fault_record last;
    qvxml_error(id, &last);
    if (!gate_allows(last.code)) return false;
    xml_module_state &m = xml_module[id];
    const int done = kind == doc::values ? m.values_done.load() : m.setup_done.load();
    if (done != XML_FINISHED) {
        xml_except(id, QV_E_NOT_FINISHED);
        return false;
    }
    *out = kind == doc::values ? document_view{m.values_xml, &m.values_len}
                               : document_view{m.setup_xml, &m.setup_len};
    return document_valid(id, *out);
}

// The device record of a valid index, or null after recording code 4.
xml_submodule_state *device_at(int id, int index) {
    if (!client_id_checked(id)) return nullptr;
    const modules_list_entry &list = modules_list[id];
    if (index < 0 || index > list.count - 1 || index >= QVXML_MODULES_MAX ||
        list.sub[index] == nullptr) {
        xml_except(id, QV_E_INDEX_NOT_VALID);
        return nullptr;
    }
    return list.sub[index];
}

// Many forms: index, gate on the device's last error (a refused gate copies the device's
// error into the module's record), length, "<?xml".
xml_submodule_state *many_checks(int id, int index, doc kind, document_view *out) {
    xml_submodule_state *device = device_at(id, index);
    if (device == nullptr) return nullptr;
    xml_fault_record last;
    qvxml_error_many(id, index, &last);
    if (!gate_allows(last.code)) {
        xml_except_copy(id, &xml_fault[id], &last);
        return nullptr;
    }
    *out = kind == doc::values ? document_view{device->values_xml, &device->values_len}
                               : document_view{device->setup_xml, &device->setup_len};
    return document_valid(id, *out) ? device : nullptr;
}

void copy_text(const document_view &d, char *xml, int *length) {
    *length = *d.length;
    std::memcpy(xml, d.text, strnlen(d.text, QVXML_BUFFER_SIZE - 1) + 1);
}

}  // namespace

// ---- text pointer --------------------------------------------------------------------------

int qvxml_get_values_xml(int id, char **xml, int *length) {
    document_view d;
    if (!single_checks(id, doc::values, &d)) return -1;
    *xml = d.text;
    *length = *d.length;
    return 0;
}

int qvxml_get_setup_xml(int id, char **xml, int *length) {
    document_view d;
    if (!single_checks(id, doc::setup, &d)) return -1;
    *xml = d.text;
    *length = *d.length;
    return 0;
}

int qvxml_get_values_xml_many(int id, int index, char **xml, int *length) {
    document_view d;
    if (many_checks(id, index, doc::values, &d) == nullptr) return -1;
    *xml = d.text;
    *length = *d.length;
    return 0;
}

int qvxml_get_setup_xml_many(int id, int index, char **xml, int *length) {
    document_view d;
    if (many_checks(id, index, doc::setup, &d) == nullptr) return -1;
    *xml = d.text;
    *length = *d.length;
    return 0;
}

// ---- text copy -----------------------------------------------------------------------------

int qvxml_get_values_xml_copy(int id, char *xml, int *length) {
    document_view d;
    if (!single_checks(id, doc::values, &d)) return -1;
    copy_text(d, xml, length);
    return 0;
}

int qvxml_get_setup_xml_copy(int id, char *xml, int *length) {
    document_view d;
    if (!single_checks(id, doc::setup, &d)) return -1;
    copy_text(d, xml, length);
    return 0;
}

int qvxml_get_values_xml_many_copy(int id, int index, char *xml, int *length) {
    document_view d;
    if (many_checks(id, index, doc::values, &d) == nullptr) return -1;
    copy_text(d, xml, length);
    return 0;
}

int qvxml_get_setup_xml_many_copy(int id, int index, char *xml, int *length) {
    document_view d;
    if (many_checks(id, index, doc::setup, &d) == nullptr) return -1;
    copy_text(d, xml, length);
    return 0;
}

// ---- file ----------------------------------------------------------------------------------

int qvxml_get_values_to_file(int id, const char *path) {
    document_view d;
    if (!single_checks(id, doc::values, &d)) return -1;
    return write_xml(id, path, d.text, *d.length);
}

int qvxml_get_setup_to_file(int id, const char *path) {
    document_view d;
    if (!single_checks(id, doc::setup, &d)) return -1;
    return write_xml(id, path, d.text, *d.length);
}

int qvxml_get_values_to_file_many(int id, int index, const char *path) {
    document_view d;
    if (many_checks(id, index, doc::values, &d) == nullptr) return -1;
    return write_xml(id, path, d.text, *d.length);
}

int qvxml_get_setup_to_file_many(int id, int index, const char *path) {
    document_view d;
    if (many_checks(id, index, doc::setup, &d) == nullptr) return -1;
    return write_xml(id, path, d.text, *d.length);
}

// ---- records -------------------------------------------------------------------------------

namespace {

// Whether a record of the kind asked for and its counts exist; QV_E_ACTION_NOT_VALID on `id`
// when not (no document of that kind parsed yet).
bool records_present(int id, const void *record, const void *count) {
    if (record != nullptr && count != nullptr) return true;
    xml_except(id, QV_E_ACTION_NOT_VALID);
    return false;
}

}  // namespace

int qvxml_get_values_cache(int id, kyvern_values **values, kyvern_values_entry_count **count) {
    document_view d;
    if (!single_checks(id, doc::values, &d)) return -1;
    // The pointers are stored before the null test: after code 2 the caller holds them.
    *values = p_kyvern_values[id];
    *count = p_kyvern_values_entry_count[id];
    return records_present(id, *values, *count) ? 0 : -1;
}

int qvxml_get_setup_cache(int id, kyvern_setup **setup, kyvern_setup_entry_count **count) {
    document_view d;
    if (!single_checks(id, doc::setup, &d)) return -1;
    if (!records_present(id, p_kyvern_setup[id], p_kyvern_setup_entry_count[id])) return -1;
    *setup = p_kyvern_setup[id];
    *count = p_kyvern_setup_entry_count[id];
    return 0;
}

int qvxml_get_values_cache_copy(int id, kyvern_values *values, kyvern_values_entry_count *count) {
    document_view d;
    if (!single_checks(id, doc::values, &d)) return -1;
    if (!records_present(id, p_kyvern_values[id], p_kyvern_values_entry_count[id])) return -1;
    std::memcpy(values, p_kyvern_values[id], sizeof *values);
    *count = *p_kyvern_values_entry_count[id];
    return 0;
}

int qvxml_get_setup_cache_copy(int id, kyvern_setup *setup, kyvern_setup_entry_count *count) {
    document_view d;
    if (!single_checks(id, doc::setup, &d)) return -1;
    if (!records_present(id, p_kyvern_setup[id], p_kyvern_setup_entry_count[id])) return -1;
    std::memcpy(setup, p_kyvern_setup[id], sizeof *setup);
    *count = *p_kyvern_setup_entry_count[id];
    return 0;
}

int qvxml_get_values_cache_many(int id, int index, kyvern_values **values,
                                kyvern_values_entry_count **count) {
    document_view d;
    xml_submodule_state *device = many_checks(id, index, doc::values, &d);
    if (device == nullptr) return -1;
    *values = &device->values;
    *count = &device->values_count;
    return 0;
}

int qvxml_get_setup_cache_many(int id, int index, kyvern_setup **setup,
                               kyvern_setup_entry_count **count) {
    document_view d;
    xml_submodule_state *device = many_checks(id, index, doc::setup, &d);
    if (device == nullptr) return -1;
    *setup = &device->setup;
    *count = &device->setup_count;
    return 0;
}

int qvxml_get_values_cache_many_copy(int id, int index, kyvern_values *values,
                                     kyvern_values_entry_count *count) {
    document_view d;
    xml_submodule_state *device = many_checks(id, index, doc::values, &d);
    if (device == nullptr) return -1;
    std::memcpy(values, &device->values, sizeof *values);
    *count = device->values_count;
    return 0;
}

int qvxml_get_setup_cache_many_copy(int id, int index, kyvern_setup *setup,
                                    kyvern_setup_entry_count *count) {
    document_view d;
    xml_submodule_state *device = many_checks(id, index, doc::setup, &d);
    if (device == nullptr) return -1;
    std::memcpy(setup, &device->setup, sizeof *setup);
    *count = device->setup_count;
    return 0;
}

// ---- status and SNMP cache -------------------------------------------------------------------

namespace {

int many_status(int id, int index, int *time_stamp, doc kind) {
    xml_submodule_state *device = device_at(id, index);
    if (device == nullptr) return -1;
    *time_stamp = kind == doc::values ? device->values.time_stamp : device->setup.time_stamp;
    const document_view d = kind == doc::values
                                ? document_view{device->values_xml, &device->values_len}
                                : document_view{device->setup_xml, &device->setup_len};
    return document_valid(id, d) ? 0 : -1;
}

}  // namespace

int qvxml_get_values_many_status(int id, int index, int *time_stamp) {
    return many_status(id, index, time_stamp, doc::values);
}

int qvxml_get_setup_many_status(int id, int index, int *time_stamp) {
    return many_status(id, index, time_stamp, doc::setup);
}

int qvxml_get_snmp_manager_cache(int id, char *address, int *port) {
    if (!client_id_checked(id)) return -1;
    xml_module_state &m = xml_module[id];
    bool empty;
    {
        xml_lock lock(m);
        empty = m.snmp_ip[0] == '\0';
        if (!empty) {
            std::memset(address, 0, 16);
            std::strncpy(address, m.snmp_ip, 15);
            *port = m.snmp_port;
        }
    }
    if (empty) {
        xml_except(id, QV_E_IP_PORT_NOT_FOUND);
        return -1;
    }
    return 0;
}
