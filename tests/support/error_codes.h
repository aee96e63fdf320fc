// The library's error codes as tests read them: from the library's own table
// (include/qvxml_errors.def), so no test keeps a copy of a message or of the HTTP status
// mapping. The literal texts are pinned once, through tarvik --error-level.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qvxml.h"

namespace qvtest {

struct error_row {
    int code;
    const char *name;  // without QV_E_
    const char *message;
};

inline constexpr error_row kErrorRows[] = {
#define QV_ERROR(code, name, message) {code, #name, message},
#include "qvxml_errors.def"
};

// The start of the tool's error line for `code`: "MESSAGE (CODE): ".
inline std::string error_line(int code) {
    return std::string(kErrorRows[code].message) + " (" + std::to_string(code) + "): ";
}

// The whole error line of a fault the library finds itself (in what it was given or sent),
// which records errno 0 whatever an earlier system call left.
inline std::string own_finding_line(int code) {
    return error_line(code) + "Success (0)\n";
}

// An HTTP error status and the code a response with it records (the rows named HTTP_<status>).
struct http_status_row {
    int status;
    int code;
    const char *message;
};

inline std::vector<http_status_row> http_status_rows() {
    std::vector<http_status_row> rows;
    for (const error_row &row : kErrorRows) {
        const char *digits = row.name + 5;
        if (std::strncmp(row.name, "HTTP_", 5) == 0 && std::strspn(digits, "0123456789") == 3)
            rows.push_back({std::atoi(digits), row.code, row.message});
    }
    return rows;
}

}  // namespace qvtest
