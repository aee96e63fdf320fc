/* A client written in C that includes only the public header: opens a module against a
 * device on 127.0.0.1:PORT, fetches values with a callback and reads them with an accessor.
 * Prints "sensors=N first=NAME length=L" and exits 0, or exits with the library's code. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "qvxml.h"

static int callback_sensors = -1;

static void on_values(int id, void *user, int sub, kyvern_values *values,
                      kyvern_values_entry_count *count) {
    (void)id;
    (void)sub;
    *(int *)user += 1;
    if (values != NULL) callback_sensors = count->SenSet;
}

int main(int argc, char **argv) {
    qvxml_settings settings;
    kyvern_values *values = NULL;
    kyvern_values_entry_count *count = NULL;
    char *text = NULL;
    int length = 0;
    int calls = 0;
    int id;
    xml_fault_record fault;

    if (argc != 2) return 2;
    if (qvxml_init() != 0) return 3;
    qvxml_clr_settings_struct(&settings);
    settings.callbacks.on_values = on_values;
    id = qvxml_open("127.0.0.1", atoi(argv[1]), &settings, &calls);
    if (id < 0 || qvxml_wait_finish(id, 0, 10) != 0) return 4;
    if (qvxml_get_values(id) != 0 || qvxml_wait_finish(id, 2, 15) != 0) {
        qvxml_error(id, &fault);
        qvxml_error_print(id);
        return fault.code;
    }
    if (qvxml_get_values_cache(id, &values, &count) != 0 ||
        qvxml_get_values_xml(id, &text, &length) != 0) {
        qvxml_error(id, &fault);
        qvxml_error_print(id);
        return fault.code;
    }
    printf("calls=%d sensors=%d/%d first=%s length=%d\n", calls, callback_sensors, count->SenSet,
           values->SenSet_Entry_Name[0], length);
    return qvxml_uninit() == 0 ? 0 : 5;
}
