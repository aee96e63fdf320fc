// Per-id locks, semaphores and thread handles. Failures record a code for the id.
#include "core/xml_thread.h"

#include "core/xml_global.h"

namespace {
qv_mutex mutex[QVXML_ID_COUNT_MAX];
qv_thread_handle thread_handle[QVXML_ID_COUNT_MAX];
}  // namespace

int xml_mutex_init(int id) {
    if (qv_thread_mutex_init(&mutex[id]) != 0) {
        xml_except(id, 23);
        return -1;
    }
    return 0;
}

int xml_mutex_lock(int id) {
    // A failed lock must not be re-entered to record its code: record on the failure path
    // only, which the standard mutex never takes.
    if (qv_thread_mutex_lock(&mutex[id]) != 0) {
        xml_except(id, 24);
        return -1;
    }
    return 0;
}

int xml_mutex_unlock(int id) {
    if (qv_thread_mutex_unlock(&mutex[id]) != 0) {
        xml_except(id, 25);
        return -1;
    }
    return 0;
}

void xml_mutex_destroy(int id) { qv_thread_mutex_destroy(&mutex[id]); }

int xml_sem_init(qv_sem *s) { return qv_sem_init(s); }

int xml_sem_post(int id, qv_sem *s) {
    if (qv_sem_post(s) != 0) {
        xml_except(id, 21);
        return -1;
    }
    return 0;
}

int xml_sem_wait(int id, qv_sem *s) {
    if (qv_sem_wait(s) != 0) {
        xml_except(id, 22);
        return -1;
    }
    return 0;
}

void xml_sem_destroy(qv_sem *s) { qv_sem_destroy(s); }

int xml_thread_create(int id, qv_thread_entry entry) {
    thread_handle[id] = qv_thread_create(entry);
    return qv_thread_status(thread_handle[id]);
}

int xml_thread_join(int id) {
    if (qv_thread_join(thread_handle[id]) != 0) return -1;
    thread_handle[id] = nullptr;
    return 0;
}

int xml_thread_free(int id) {
    qv_thread_free(thread_handle[id]);
    thread_handle[id] = nullptr;
    return 0;
}

int xml_thread_cancel(int id) { return qv_thread_cancel(thread_handle[id]); }
