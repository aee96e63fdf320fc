/* A completion callback written in C, compiled as C with the project's default flags: it
 * ends its worker thread from two C frames deep, as a caller's callback that closes its own
 * module does. Nothing after the end call may run. */
#include "qvxml.h"

/* Provided by the C++ test: ends the calling library thread (does not return). */
void core_test_end_thread(void);

int c_callback_entered = 0;
int c_callback_after_end = 0;
int c_callback_sub = 0;

__attribute__((noinline)) static void c_nested_end(volatile int *depth) {
    *depth += 1;
    core_test_end_thread();
    *depth += 1; /* never reached */
    c_callback_after_end = 1;
}

void c_values_callback(int id, void *user, int sub, kyvern_values *values,
                       kyvern_values_entry_count *count) {
    volatile int depth = 0;
    (void)id;
    (void)user;
    (void)values;
    (void)count;
    c_callback_entered = 1;
    c_callback_sub = sub;
    c_nested_end(&depth);
    c_callback_after_end = depth;
}
