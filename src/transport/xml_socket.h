// HTTP/1.0 exchange with a device: connect, one request, read to the end, close.
// Runs on the module's worker thread unless said otherwise.
#pragma once

#include "qvxml.h"

// Socket of each module id; -1 = none.
extern int sockfd[QVXML_ID_COUNT_MAX];

// Connects module `id` (device `index`, -1 for the module's own device) to address_text
// (or to host_name, resolved into address_text, when not empty) and `port`, within 5 s.
// Calls on_connect or on_connect_failure. 0, or -1 with code 26/27/28/29/89.
// Ends the calling thread when the module's run flag is cleared during the wait.
int xml_socket_create(int id, int index, char *address_text, const char *host_name, int port);
int xml_socket_write(int id, const char *data, int length);  // 0, or -1 with 30/35
// `length` in: capacity, out: body bytes stored (NUL-terminated). 0, or -1 with a code.
int xml_socket_read(int id, char *buffer, int *length);
void xml_socket_close(int id);

// GET values.xml (kind 0) or setup.xml (kind 1) into `buffer` and parse it under mutex 0.
// `length` in: capacity, out: body length (0 on failure). 0 or -1.
int get_xml(int id, char *address_text, const char *host_name, int port, char *buffer,
            int *length, int kind, int index);
// POSTs the prepared `request` and parses the reply (a setup document) into
// `response_buffer`. On failure it has already run the completion callback of kind 2 with
// the failure flag. 0 or -1.
int send_xml_file(int id, int index, char *address_text, const char *host_name, int port,
                  const char *request, char *response_buffer, int *length);
// Build the POST request into the 256000-byte `request_buffer` (caller's thread). 0, or -1
// with the code recorded on `id`.
int cp_auth_and_xml2buffer(int id, const char *document, int document_length,
                           const qvxml_settings *settings, char *request_buffer);
int xml_struct2xml_file(int id, const kyvern_setup *setup, const kyvern_setup_entry_count *count,
                        const qvxml_settings *settings, char *request_buffer);
