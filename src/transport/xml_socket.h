// HTTP/1.0 exchange with a device: connect, one request, read to the end, close
// (connection.cpp, response.cpp, exchange.cpp), and the request texts (http_requests.cpp).
// Runs on the module's worker thread unless said otherwise. Codes are recorded with
// xml_except on the module id.
// Glossary of the names kept from the library's documented interface: get_xml (GET and
// parse), send_xml_file (POST and parse the reply), cp_auth_and_xml2buffer (copy a setup
// document, filter it and wrap it in an authorized POST), xml_struct2xml_file (the same from
// a setup record), sockfd (socket per module id).
#pragma once

#include "core/xml_module.h"
#include "platform/thread_annotations.h"
#include "qvxml.h"

// Socket of each module id; -1 = none (at start and after every close). Entry `id` is used
// by the worker of module `id`, and by the closing of that module once the worker stopped.
extern int sockfd[QVXML_ID_COUNT_MAX];

// Header-end filter, indexed by (character class * 4 + state); classes 0 other, 1 CR, 2 LF;
// states 0..3, state 4 = CR LF CR LF seen (end of the response header).
extern const unsigned char xml_filter_states[12];

// Connects module `id` (device `index`, -1 for the module's own device) to address_text
// (or to host_name, resolved into address_text, when not empty) and `port`, within 5 s.
// `address_text` holds 16 characters; it is written under the module's mutex.
// Success: the socket is in sockfd[id], on_connect(id, user, index) has run, result 0.
// Failure: result -1, the socket closed, a code recorded and then
// on_connect_failure(id, user, index, copy of the fault record just written) called:
//   26 socket service; 27 socket(); 29 non-blocking mode; 28 connect refused, failed or not
//   completed in 5 s, `port` outside 0..65535 (never wrapped), empty or invalid address
//   text; 89 host name does not resolve (address_text is emptied).
// Ends the calling thread when the module's run flag is cleared during the wait.
int xml_socket_create(int id, int index, char *address_text, const char *host_name, int port);
// Sends all `length` bytes of `data` on sockfd[id]. Partial sends continue once the socket
// is writable again (five one-second attempts after each send that could not take
// everything; interrupted calls are repeated). A closed peer is an error, never SIGPIPE.
// 0, or -1 with 30 (not writable within 5 s) or 35 (send error, no socket, length < 0).
int xml_socket_write(int id, const char *data, int length);
// Reads the response on sockfd[id] until the peer closes it or is silent for 10 s. The
// header (bytes up to the first CR LF CR LF found from response byte 14 on, however the
// response is split into chunks) is removed; its status is read from response bytes 9-11.
// `length` in: capacity of `buffer`; out: body bytes stored, NUL-terminated.
// No header field is interpreted but Content-Length (in the first 4096 header bytes; an
// absurd value is ignored): a body that ends short of it is not a document.
// 0 (also for an empty response: 0 bytes), or -1 with `length` 0 and one of: 47-70 (HTTP
// status 400-417, 500-505; recorded with errno 0), 12 (body + NUL would not fit the
// capacity), 34 (receive error, no socket, or fewer body bytes than Content-Length
// announced), 46 (the response ended before its header did, or its header did not end
// within the first `capacity` bytes).
int xml_socket_read(int id, char *buffer, int *length);
// Closes sockfd[id] if open and sets it to -1. Takes the module's mutex: entry `id` is only
// written under it, so another thread may wake the socket safely (xml_socket_wake).
void xml_socket_close(int id);
// Shuts down sockfd[id] if open, without closing it: a worker waiting on it wakes at once
// (its readiness wait then sees that it was asked to end). Any thread; takes the mutex of `id`.
void xml_socket_wake(int id);

// GET values.xml (kind 0, never authorized) or setup.xml (kind 1, Basic authorization with
// the GET credentials of the module or of device `index` when the user name is not empty)
// into `buffer`, then parse it under mutex 0 (xml_parse). `length` in: capacity, out: body
// length (0 on failure). 0, or -1: run flag 0 (nothing recorded), any code of the calls
// above, 2 for a kind other than 0 and 1, or the parser's code.
// REQUIRES: the module's worker thread; the module's mutex not held (the parse lock comes
// first, and the callbacks run without it).
int get_xml(int id, char *address_text, const char *host_name, int port, char *buffer, int *length,
            int kind, int index) EXCLUDES(xml_module[id].mutex);
// POSTs the prepared NUL-terminated `request` (at most 256000 bytes) and parses the reply,
// a setup document, into `response_buffer` (256000 bytes; `length` out: bytes stored).
// On any failure except a cleared run flag it has already run run_callback(id, index, 2,
// failed) and set the module's last_failed; result -1. 0 on success (the success callback
// is the worker's business). REQUIRES: as get_xml.
int send_xml_file(int id, int index, char *address_text, const char *host_name, int port,
                  const char *request, char *response_buffer, int *length)
    EXCLUDES(xml_module[id].mutex);
// Builds the POST request into the 256000-byte `request_buffer` from `document_length`
// bytes of `document` (need not be NUL-terminated), filtered by xml_setup_prepare, with the
// POST credentials of `settings`. 0, or -1 with: 5 (work copy not allocated), the filter's
// code, or 12 when the request (headers + filtered document + NUL) would not fit 256000
// bytes or document_length is negative; on the 12 refusal `request_buffer` is left
// zero-filled. Runs on the requesting thread.
int cp_auth_and_xml2buffer(int id, const char *document, int document_length,
                           const qvxml_settings *settings, char *request_buffer);
// As cp_auth_and_xml2buffer, with the document written from a setup record by struct2xml.
// Extra failures: 5 (work buffer not allocated), 12 (document would not fit 256000 bytes).
int xml_struct2xml_file(int id, const kyvern_setup *setup, const kyvern_setup_entry_count *count,
                        const qvxml_settings *settings, char *request_buffer);
// Builds the POST that makes `address`:`port` the unit's only SNMP trap destination (no
// authorization) into the 256000-byte `request_buffer`. 0, or -1 with QV_E_LENGTH_TOO_LARGE
// when it would not fit. Runs on the requesting thread.
int snmp_manager_request(int id, const char *address, int port, char *request_buffer);
