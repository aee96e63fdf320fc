// Internal operations of the client runtime (module lifecycle, requests, worker threads).
// The interface operations are declared in qvxml.h.
#pragma once

#include "qvxml.h"

// Reserves the id the next open will use (id_count): id_count + 1 when it is at most 99 and
// free, else the first free id of 1..99. Returns 0, or -1 when no id is free (id_count then
// keeps its value). REQUIRES: the caller holds the start-up gate xml_sem.
int qvxml_next_id();

// Marks request `kind` (0 values, 1 setup, 2 send) of module `id` finished: values_done,
// setup_done, or send_done and setup_done become 1. With `refresh_snmp` 1 the SNMP manager
// cache is refreshed from the module's setup record first and snmp_done becomes 1. Wakes a
// running qvxml_wait_finish. Runs on the module's worker.
void qvxml_loop_one_finish(int id, int kind, int refresh_snmp);

// Entry of every library thread; reads qvxml_thread_type (0 time-out thread, 1 single-device
// worker, 2 many-device worker) written by the starter under the start-up gate.
void qv_thread();

// Closes module `id` (REQUIRES: 1..99). With `join` it is qvxml_close: 0, or -1 with 16 (the
// id is free) or 39 (the worker did not end within 3000 ms; the module stays closing and a
// later close may finish it). Without, it is qvxml_close_for_callback: on the module's worker
// it ends the calling thread and the module is released on the thread's way out.
int xml_close(int id, int join);
