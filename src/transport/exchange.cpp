// One exchange of a module's worker with its device: connect, send the request, read the
// response, close, then parse the document under the parser's lock.
#include <cstring>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "records/xml_parse.h"
#include "transport/transport_private.h"
#include "transport/xml_socket.h"

namespace {

// A module being closed (or already free) starts no exchange.
bool module_stopping(int id) {
    const int state = xml_module[id].state.load();
    return state == XML_STATE_FREE || state == XML_STATE_CLOSING;
}

void mark_post_failed(int id, int index) {
    {
        xml_lock lock(id);
        xml_module[id].last_failed = 1;
    }
    run_callback(id, index, XML_KIND_SEND, 1);
}

// Parses `length` bytes of `buffer` as a values (kind 0) or setup (kind 1) document of `id`;
// one parse at a time in the library (the parser's lock is id 0's, taken before a module's).
int parse_locked(int id, char *buffer, int length, int kind) EXCLUDES(xml_module[id].mutex) {
    xml_lock parse_lock(0);
    return xml_parse(id, buffer, length, kind);
}

}  // namespace

int get_xml(int id, char *address_text, const char *host_name, int port, char *buffer, int *length,
            int kind, int index) {
    const int capacity = *length;
    *length = 0;
    if (module_stopping(id)) return -1;
    if (kind != 0 && kind != 1) {
        xml_except(id, QV_E_ACTION_NOT_VALID);
        return -1;
    }
    if (xml_socket_create(id, index, address_text, host_name, port) != 0) return -1;

    char request[512];
    get_request_text(id, index, kind, request, sizeof request);
    int stored = capacity;
    if (xml_socket_write(id, request, static_cast<int>(std::strlen(request))) != 0 ||
        xml_socket_read(id, buffer, &stored) != 0) {
        xml_socket_close(id);
        return -1;
    }
    xml_socket_close(id);

    if (parse_locked(id, buffer, stored, kind) != 0) return -1;
    *length = stored;
    return 0;
}

int send_xml_file(int id, int index, char *address_text, const char *host_name, int port,
                  const char *request, char *response_buffer, int *length) {
    if (module_stopping(id)) return -1;
    if (xml_socket_create(id, index, address_text, host_name, port) != 0) {
        mark_post_failed(id, index);
        return -1;
    }
    *length = QVXML_BUFFER_SIZE;
    const int request_len = static_cast<int>(strnlen(request, QVXML_BUFFER_SIZE));
    if (xml_socket_write(id, request, request_len) != 0 ||
        xml_socket_read(id, response_buffer, length) != 0) {
        *length = 0;
        xml_socket_close(id);
        mark_post_failed(id, index);
        return -1;
    }
    xml_socket_close(id);

    if (parse_locked(id, response_buffer, *length, 1) != 0) {
        *length = 0;
        mark_post_failed(id, index);
        return -1;
    }
    return 0;
}
