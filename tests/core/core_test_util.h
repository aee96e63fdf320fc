// Bounded waits for the core tests: nothing here blocks for more than the given time.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "core/xml_thread.h"
#include "qvxml.h"

namespace core_test {

using clock = std::chrono::steady_clock;

// The fault record of `id`, as qvxml_error reads it.
inline xml_fault_record record_of(int id) {
    xml_fault_record r;
    qvxml_error(id, &r);
    return r;
}

inline long long elapsed_ms(clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(clock::now() - since).count();
}

// Polls `done` every 5 ms for at most `ms`; true when it became true.
inline bool wait_until(const std::function<bool()> &done, int ms) {
    const auto deadline = clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// True when another thread can lock and unlock the mutex of `id` within `ms`. When it
// cannot, the helper thread is left blocked (detached): the test has failed anyway.
inline bool lockable_within(int id, int ms) {
    auto locked = std::make_shared<std::atomic<bool>>(false);
    std::thread t([id, locked] {
        xml_mutex_lock(id);
        locked->store(true);
        xml_mutex_unlock(id);
    });
    const bool ok = wait_until([&] { return locked->load(); }, ms);
    if (ok)
        t.join();
    else
        t.detach();
    return ok;
}

}  // namespace core_test
