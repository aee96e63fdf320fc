/* A C program built against the installed library through pkg-config: fetches the values
 * document from the stand-in device and prints what it read. */
#include <qvxml.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    char message[64];
    char encoded[16];
    const size_t encoded_length = b64_encode("tarvik", 6, encoded, sizeof encoded);
    printf("%s|%.*s\n", qv_error_i2s(28, message), (int)encoded_length, encoded);

    if (qvxml_init() != 0) return 3;
    qvxml_settings settings;
    qvxml_clr_settings_struct(&settings);
    const int id = qvxml_open("127.0.0.1", atoi(argv[1]), &settings, NULL);
    if (id < 0 || qvxml_wait_finish(id, 0, 10) != 0) return 4;
    if (qvxml_get_values(id) != 0 || qvxml_wait_finish(id, 2, 10) != 0) return 5;
    kyvern_values *values = NULL;
    kyvern_values_entry_count *count = NULL;
    if (qvxml_get_values_cache(id, &values, &count) != 0) {
        qvxml_error_print(id);
        return 6;
    }
    printf("sensors %d, first %s\n", (int)count->SenSet, values->SenSet_Entry_Value[0]);
    return qvxml_uninit() == 0 ? 0 : 7;
}
