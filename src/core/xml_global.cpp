// Per-id fault records and the file helper of the result accessors.
#include "core/xml_global.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/xml_module.h"
#include "core/xml_thread.h"

xml_fault_record xml_fault[QVXML_ID_COUNT_MAX];

namespace {

bool valid_id(int id) {
    return id >= 0 && id < QVXML_ID_COUNT_MAX;
}

// Copies `src` into a fixed text of QVXML_ERROR_TEXT_SIZE bytes, always terminated.
void copy_text(char *dst, const char *src) {
    std::strncpy(dst, src, QVXML_ERROR_TEXT_SIZE - 1);
    dst[QVXML_ERROR_TEXT_SIZE - 1] = '\0';
}

// Row 0 first, then the first of rows 1..89 with that code; an unknown code takes row 0.
const char *message_of(int code) {
    if (code == qv_error_number2str[0].code) return qv_error_number2str[0].message;
    for (int row = 1; row < QVXML_ERROR_CODE_COUNT; ++row)
        if (qv_error_number2str[row].code == code) return qv_error_number2str[row].message;
    return qv_error_number2str[0].message;
}

// What a reader gets when there is no record to read: the code's message, no errno.
void fill_missing(xml_fault_record *out, int code) {
    std::memset(out, 0, sizeof *out);
    out->code = code;
    copy_text(out->message, message_of(code));
}

constexpr int code_index_not_valid = 4;
constexpr int code_id_too_large = 18;

// The fault record of the id whose entry is `m`: record n is guarded by mutex n.
xml_fault_record &fault_of(xml_module_state &m) REQUIRES(m.mutex) {
    return xml_fault[xml_id_of(m)];
}

}  // namespace

void xml_except(int id, int code) {
    xml_except_errno(id, code, 0);
}

void xml_except_errno(int id, int code, int error) {
    const int saved_errno = errno;
    if (!valid_id(id)) id = 0;
    const char *message = message_of(code);
    // strerror is not thread-safe; the GNU strerror_r returns the text to use (its own
    // static text or the buffer).
    char errno_buffer[QVXML_ERROR_TEXT_SIZE];
    const char *errno_text = strerror_r(error, errno_buffer, sizeof errno_buffer);
    {
        xml_module_state &m = xml_module[id];
        xml_lock lock(m);
        xml_fault_record &r = fault_of(m);
        copy_text(r.message, message);
        copy_text(r.errno_text, errno_text);
        r.errno_value = error;
        r.code = code;
    }
    errno = saved_errno;
}

void xml_except_copy(int id, xml_fault_record *to, const xml_fault_record *from) {
    xml_lock lock(id);
    std::memmove(to, from, sizeof *to);
}

void qvxml_error(int id, xml_fault_record *out) {
    if (!valid_id(id)) {
        fill_missing(out, code_id_too_large);
        return;
    }
    xml_except_copy(id, out, &xml_fault[id]);
}

void qvxml_error_many(int id, int index, xml_fault_record *out) {
    if (!valid_id(id)) {
        fill_missing(out, code_id_too_large);
        return;
    }
    xml_lock lock(id);
    const modules_list_entry &list = modules_list[id];
    if (index < 0 || index >= list.count || index >= QVXML_MODULES_MAX ||
        list.sub[index] == nullptr) {
        fill_missing(out, code_index_not_valid);
        return;
    }
    std::memmove(out, &list.sub[index]->error, sizeof *out);
}

void qvxml_error_print(int id) {
    xml_fault_record r;
    qvxml_error(id, &r);
    std::printf("%s (%i): %s (%i)\n", r.message, r.code, r.errno_text, r.errno_value);
    std::fflush(stdout);
}

int write_xml(int id, const char *path, const char *data, int length) {
    if (length < 0 || (length > 0 && data == nullptr)) {
        xml_except(id, QV_E_FILE_WRITE);  // nothing that could be written: the file is not touched
        return -1;
    }
    if (path == nullptr) {
        xml_except(id, QV_E_FILE_OPEN);
        return -1;
    }
    std::FILE *file = std::fopen(path, "w");
    if (file == nullptr) {
        xml_except_errno(id, QV_E_FILE_OPEN, errno);
        return -1;
    }
    if (length > 0 && std::fwrite(data, static_cast<size_t>(length), 1, file) != 1) {
        const int write_errno = errno;  // the record tells why the write failed, not the close
        std::fclose(file);
        xml_except_errno(id, QV_E_FILE_WRITE, write_errno);
        return -1;
    }
    if (std::fclose(file) != 0) {
        xml_except_errno(id, QV_E_FILE_CLOSE, errno);
        return -1;
    }
    return 0;
}

void char_replace(char *text, char from, char to) {
    if (text == nullptr || from == '\0') return;
    for (; *text != '\0'; ++text)
        if (*text == from) *text = to;
}
