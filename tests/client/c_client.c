/* A client written in C that includes only the public header: opens a module against a
 * device on 127.0.0.1:PORT, fetches values with a callback and reads them with an accessor.
 * Prints "calls=C sensors=N/N length=L first=[NAME]" and exits 0, or exits with the library's code.
 */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "qvxml.h"

/* Written by the callback on the worker thread, read here. */
static atomic_int callback_sensors = -1;
static atomic_int calls = 0;

static void on_values(int id, void *user, int sub, kyvern_values *values,
                      kyvern_values_entry_count *count) {
    (void)id;
    (void)sub;
    (void)user;
    if (values != NULL) atomic_store(&callback_sensors, count->SenSet);
    atomic_fetch_add(&calls, 1);
}

int main(int argc, char **argv) {
    qvxml_settings settings;
    kyvern_values *values = NULL;
    kyvern_values_entry_count *count = NULL;
    char *text = NULL;
    int length = 0;
    int id;
    int waited;
    struct timespec tick = {0, 10 * 1000 * 1000};
    xml_fault_record fault;

    if (argc != 2) return 2;
    if (qvxml_init() != 0) return 3;
    qvxml_clr_settings_struct(&settings);
    settings.callbacks.on_values = on_values;
    id = qvxml_open("127.0.0.1", atoi(argv[1]), &settings, NULL);
    if (id < 0 || qvxml_wait_finish(id, 0, 10) != 0) return 4;
    if (qvxml_get_values(id) != 0 || qvxml_wait_finish(id, 2, 15) != 0) {
        qvxml_error(id, &fault);
        qvxml_error_print(id);
        return fault.code;
    }
    /* The completion is delivered just after the request is marked finished. */
    for (waited = 0; waited < 500 && atomic_load(&calls) == 0; ++waited) nanosleep(&tick, NULL);
    if (qvxml_get_values_cache(id, &values, &count) != 0 ||
        qvxml_get_values_xml(id, &text, &length) != 0) {
        qvxml_error(id, &fault);
        qvxml_error_print(id);
        return fault.code;
    }
    printf("calls=%d sensors=%d/%d length=%d first=[%s]\n", atomic_load(&calls),
           atomic_load(&callback_sensors), count->SenSet, length, values->SenSet_Entry_Name[0]);
    return qvxml_uninit() == 0 ? 0 : 5;
}
