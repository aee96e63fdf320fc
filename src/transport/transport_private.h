// What the transport files share among themselves; no other layer includes this header.
#pragma once

#include <cstddef>
#include <cstring>

// Waits up to `seconds` one-second rounds until `fd` of module `id` is readable (or writable
// when `for_write`). False at the end of the time or when the module is asked to end; a
// cleared run flag ends the calling worker inside the wait. (connection.cpp)
bool socket_ready(int id, int fd, bool for_write, int seconds);

// Ends the calling worker when its module is asked to end (its run flag cleared, or the
// thread cancelled), as socket_ready does after its wait: for reads that take data already
// waiting without a readiness wait. (connection.cpp)
void stop_if_ending(int id);

// Writes the GET request of values.xml (kind 0, never authorized) or setup.xml (kind 1,
// authorized with the GET credentials of the module, or of device `index` >= 0, when a user
// name is set) into `request` (`size` bytes, NUL-terminated). (requests.cpp)
void get_request_text(int id, int index, int kind, char *request, size_t size);

// Copies at most `max` characters of `text` into `out` (max + 1 bytes) and terminates it.
inline void copy_bounded(char *out, const char *text, size_t max) {
    const size_t n = strnlen(text, max);
    std::memcpy(out, text, n);
    out[n] = '\0';
}
