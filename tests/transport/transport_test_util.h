// Transport tests reach into the module table: a module prepared for one exchange, and one
// raw exchange through the socket layer.
#pragma once

#include <cstring>
#include <memory>
#include <string>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "transport/xml_socket.h"

// Resets module `id` of the module table for a test: run flag 1, no callbacks, no
// credentials, fault record cleared, no socket.
inline void reset_module(int id) {
    xml_module_state &m = xml_module[id];
    std::memset(&m.settings, 0, sizeof m.settings);
    std::memset(m.addr, 0, sizeof m.addr);
    m.user_ptr = nullptr;
    m.last_failed = 0;
    m.state.store(1);
    std::memset(&xml_fault[id], 0, sizeof xml_fault[id]);
    xml_socket_close(id);
}

struct exchange_result {
    int rc;            // 0, -1 (a step failed), -2 (no connection)
    int code;          // the module's fault code afterwards
    std::string body;  // on success
    int length;        // what the reader stored
    bool terminated;   // on success: a NUL follows the body
};

// One raw exchange on module `id`: connect to 127.0.0.1:`port`, send `request`, read the
// response into a buffer of `capacity` bytes, close.
inline exchange_result exchange(int id, int port, const std::string &request,
                                int capacity = QVXML_BUFFER_SIZE) {
    exchange_result r{};
    char address[16] = "127.0.0.1";
    if (xml_socket_create(id, -1, address, "", port) != 0) {
        r.rc = -2;
        r.code = xml_fault[id].code;
        return r;
    }
    std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(capacity) + 1]);
    std::memset(buffer.get(), 'x', static_cast<size_t>(capacity) + 1);
    r.length = capacity;
    r.rc = xml_socket_write(id, request.data(), static_cast<int>(request.size()));
    if (r.rc == 0) r.rc = xml_socket_read(id, buffer.get(), &r.length);
    xml_socket_close(id);
    r.code = xml_fault[id].code;
    if (r.rc == 0) {
        r.body.assign(buffer.get(), static_cast<size_t>(r.length));
        r.terminated = buffer[static_cast<size_t>(r.length)] == '\0';
    }
    return r;
}
