// Per-id locks, semaphores and thread handles. Failures record a code for the id.
#include "core/xml_thread.h"

#include <cerrno>
#include <mutex>

#include "core/xml_global.h"

namespace {

// The handle table is shared between the thread that starts a worker, the thread that joins
// it and the worker itself (which frees its own handle when it closes its module from a
// callback). The table lock makes each entry's store, take and release atomic; it is held
// only for those moments, never during a join's wait. It is also held across the start of a
// thread, so a worker that frees its own handle at once still finds it stored.
std::mutex thread_table_lock;
qv_thread_handle thread_handle[QVXML_ID_COUNT_MAX];
}  // namespace

int xml_mutex_init(int id) {
    if (qv_thread_mutex_init(&xml_module[id].mutex) != 0) {
        xml_except(id, QV_E_MUTEX_INIT);
        return -1;
    }
    return 0;
}

int xml_mutex_lock(int id) {
    // A failed lock must not be re-entered to record its code: record on the failure path
    // only, which the standard mutex never takes.
    if (qv_thread_mutex_lock(&xml_module[id].mutex) != 0) {
        xml_except(id, QV_E_MUTEX_LOCK);
        return -1;
    }
    return 0;
}

int xml_mutex_unlock(int id) {
    if (qv_thread_mutex_unlock(&xml_module[id].mutex) != 0) {
        xml_except(id, QV_E_MUTEX_UNLOCK);
        return -1;
    }
    return 0;
}

void xml_mutex_destroy(int id) {
    qv_thread_mutex_destroy(&xml_module[id].mutex);
}

int xml_sem_init(qv_sem *s) {
    return qv_sem_init(s);
}

int xml_sem_post(int id, qv_sem *s) {
    if (qv_sem_post(s) != 0) {
        xml_except(id, QV_E_SEM_POST);
        return -1;
    }
    return 0;
}

int xml_sem_wait(int id, qv_sem *s) {
    if (qv_sem_wait(s) != 0) {
        xml_except(id, QV_E_SEM_WAIT);
        return -1;
    }
    return 0;
}

void xml_sem_destroy(qv_sem *s) {
    qv_sem_destroy(s);
}

int xml_thread_create(int id, qv_thread_entry entry) {
    std::lock_guard<std::mutex> lock(thread_table_lock);
    thread_handle[id] = qv_thread_create(entry);
    const int creation_errno = errno;
    const int status = qv_thread_status(thread_handle[id]);
    errno = creation_errno;
    return status;
}

int xml_thread_join(int id) {
    qv_thread_handle handle;
    {
        std::lock_guard<std::mutex> lock(thread_table_lock);
        handle = thread_handle[id];
        thread_handle[id] = nullptr;  // taken: a concurrent free or join finds nothing
    }
    if (qv_thread_join(handle) == 0) return 0;
    if (handle != nullptr) {
        // Not ended: the handle stays open and goes back to its entry for a later join.
        std::lock_guard<std::mutex> lock(thread_table_lock);
        if (thread_handle[id] == nullptr)
            thread_handle[id] = handle;
        else
            qv_thread_free(handle);  // the id was reused meanwhile: keep the newer thread
    }
    return -1;
}

int xml_thread_free(int id) {
    qv_thread_handle handle;
    {
        std::lock_guard<std::mutex> lock(thread_table_lock);
        handle = thread_handle[id];
        thread_handle[id] = nullptr;
    }
    qv_thread_free(handle);
    return 0;
}

int xml_thread_cancel(int id) {
    std::lock_guard<std::mutex> lock(thread_table_lock);
    return qv_thread_cancel(thread_handle[id]);
}
