// The HTTP request texts a module sends: the two GETs, the POST of a setup document with
// Basic authorization, and the POST that sets the SNMP manager.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "core/xml_global.h"
#include "core/xml_module.h"
#include "core/xml_thread.h"
#include "records/xml_parse.h"
#include "records/xml_setup.h"
#include "transport/transport_private.h"
#include "transport/xml_socket.h"

namespace {

constexpr int credentials_max = 99;     // characters of a user name or a password
constexpr size_t auth_line_size = 340;  // "Authorization: Basic " + 268 + CR LF + NUL, rounded up

// Writes "Authorization: Basic <base64 of user:password>\r\n" into `line` (auth_line_size
// bytes) when `user` is not empty; else an empty text.
void authorization_line(const char *user, const char *password, char *line) {
    line[0] = '\0';
    if (user[0] == '\0') return;
    char credentials[2 * credentials_max + 2];
    char u[credentials_max + 1], p[credentials_max + 1];
    copy_bounded(u, user, credentials_max);
    copy_bounded(p, password, credentials_max);
    const int n = std::snprintf(credentials, sizeof credentials, "%s:%s", u, p);
    char encoded[300];
    std::memset(encoded, 0, sizeof encoded);
    b64_encode(credentials, static_cast<size_t>(n), encoded, sizeof encoded - 1);
    std::snprintf(line, auth_line_size, "Authorization: Basic %s\r\n", encoded);
}

// Copies the credentials of the module (index -1) or of device `index` under the lock.
void credentials_of(int id, int index, bool for_post, char *user, char *password) {
    xml_lock lock(id);
    const qvxml_settings *s = &xml_module[id].settings;
    if (index >= 0) {
        s = nullptr;
        if (index < QVXML_MODULES_MAX && modules_list[id].sub[index] != nullptr)
            s = &modules_list[id].sub[index]->settings;
    }
    if (s == nullptr) {
        user[0] = password[0] = '\0';
        return;
    }
    copy_bounded(user, for_post ? s->set_user : s->get_user, credentials_max);
    copy_bounded(password, for_post ? s->set_password : s->get_password, credentials_max);
}

// Builds the POST request for the NUL-terminated `document` (at most `size` bytes looked at)
// into the zero-filled 256000-byte `request_buffer`. 0, or -1 with QV_E_FILE_TOO_LARGE when
// it would not fit with its NUL.
int build_post(int id, const char *document, size_t size, const qvxml_settings *settings,
               char *request_buffer) {
    std::memset(request_buffer, 0, QVXML_BUFFER_SIZE);
    char user[credentials_max + 1], password[credentials_max + 1];
    copy_bounded(user, settings->set_user, credentials_max);
    copy_bounded(password, settings->set_password, credentials_max);
    char auth[auth_line_size];
    authorization_line(user, password, auth);
    const size_t body = strnlen(document, size);
    char head[512];
    const int head_len = std::snprintf(
        head, sizeof head,
        "POST /setup.xml HTTP/1.0\r\n%sContent-Type: text/xml\r\nContent-Length: %zu\r\n\r\n", auth,
        body);
    if (head_len < 0 || static_cast<size_t>(head_len) + body >= QVXML_BUFFER_SIZE) {
        xml_except(id, QV_E_FILE_TOO_LARGE);
        return -1;
    }
    std::memcpy(request_buffer, head, static_cast<size_t>(head_len));
    std::memcpy(request_buffer + head_len, document, body);
    return 0;
}

}  // namespace

void get_request_text(int id, int index, int kind, char *request, size_t size) {
    if (kind == 0) {
        std::snprintf(request, size, "GET /values.xml HTTP/1.0\r\n\r\n");
        return;
    }
    char user[credentials_max + 1], password[credentials_max + 1], auth[auth_line_size];
    credentials_of(id, index, false, user, password);
    authorization_line(user, password, auth);
    std::snprintf(request, size, "GET /setup.xml HTTP/1.0\r\n%s\r\n", auth);
}

int cp_auth_and_xml2buffer(int id, const char *document, int document_length,
                           const qvxml_settings *settings, char *request_buffer) {
    if (document_length < 0 || document_length > INT_MAX - 1024) {
        xml_except(id, QV_E_FILE_TOO_LARGE);
        std::memset(request_buffer, 0, QVXML_BUFFER_SIZE);
        return -1;
    }
    const int size = document_length + 1024;
    std::unique_ptr<char[]> copy(new (std::nothrow) char[static_cast<size_t>(size)]());
    if (!copy) {
        xml_except_errno(id, QV_E_NO_MEMORY, ENOMEM);
        return -1;
    }
    if (document_length > 0)
        std::memcpy(copy.get(), document, static_cast<size_t>(document_length));
    if (xml_setup_prepare(id, copy.get(), size) != 0) return -1;
    return build_post(id, copy.get(), static_cast<size_t>(size), settings, request_buffer);
}

int xml_struct2xml_file(int id, const kyvern_setup *setup, const kyvern_setup_entry_count *count,
                        const qvxml_settings *settings, char *request_buffer) {
    std::unique_ptr<char[]> work(new (std::nothrow) char[QVXML_BUFFER_SIZE]());
    if (!work) {
        xml_except_errno(id, QV_E_NO_MEMORY, ENOMEM);
        return -1;
    }
    if (struct2xml(setup, count, work.get(), QVXML_BUFFER_SIZE) != 0) {
        xml_except(id, QV_E_FILE_TOO_LARGE);
        std::memset(request_buffer, 0, QVXML_BUFFER_SIZE);
        return -1;
    }
    // The filter needs the terminating NUL inside its size and room to rewrite in place.
    const size_t produced = strnlen(work.get(), QVXML_BUFFER_SIZE);
    const size_t size = produced + 1024 < QVXML_BUFFER_SIZE ? produced + 1024 : QVXML_BUFFER_SIZE;
    if (xml_setup_prepare(id, work.get(), static_cast<int>(size)) != 0) return -1;
    return build_post(id, work.get(), size, settings, request_buffer);
}

int snmp_manager_request(int id, const char *address, int port, char *request_buffer) {
    std::string body =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n<SnmpTraps>\n<Entry>\n"
        "<Idx>1</Idx>\n<Community>vesmal</Community>\n<IPaddr>";
    body += address != nullptr ? address : "";
    body += "</IPaddr>\n<Port>" + std::to_string(port) +
            "</Port>\n<E>1</E>\n</Entry>\n</SnmpTraps>\n</Root>";
    const std::string request =
        "POST /setup.xml HTTP/1.0\r\nContent-Type: text/xml\r\n"
        "Content-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    if (request.size() >= QVXML_BUFFER_SIZE) {
        xml_except(id, QV_E_LENGTH_TOO_LARGE);
        return -1;
    }
    std::memcpy(request_buffer, request.data(), request.size());
    return 0;
}
