// The library's error vocabulary: the message table built from include/qvxml_errors.def.
#include <cstring>

#include "qvxml.h"

const qv_error_entry qv_error_number2str[QVXML_ERROR_CODE_COUNT] = {
#define QV_ERROR(code, name, message) {code, message},
#include "qvxml_errors.def"
};

static_assert(QV_E_COUNT_ == QVXML_ERROR_CODE_COUNT, "one row per code");

namespace {
// Row n of the table holds code n: the rows of the .def file are in order.
constexpr bool rows_in_order() {
    int next = 0;
#define QV_ERROR(code, name, message) \
    if (code != next++) return false;
#include "qvxml_errors.def"
    return true;
}
static_assert(rows_in_order(), "qvxml_errors.def lists the codes 0..89 in order");
}  // namespace

char *qv_error_i2s(int code, char *buffer) {
    // The code is the row index; callers pass 0..89 (the tool lists 1..89).
    std::strcpy(buffer, qv_error_number2str[code].message);
    return buffer;
}
