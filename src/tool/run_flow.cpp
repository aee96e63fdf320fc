// The run flow of tarvik (see run_flow.h).
#include "tool/run_flow.h"

#include <cstdio>
#include <cstring>

#include "tool/actions.h"
#include "tool/tool.h"

namespace {

// Seconds to wait for the module's worker to run after qvxml_open.
constexpr int kModuleStartSeconds = 10;

// Copies a credential into a settings buffer of QVXML_AUTHENTICATE_MAX bytes as strncpy
// would: a text that does not fit is left without its terminator, and the library refuses
// such a buffer (qvxml_open: code 43 for a user, 42 for a password) instead of sending a
// silently shortened credential.
void copy_credential(char (&dst)[QVXML_AUTHENTICATE_MAX], const char *src) {
    const size_t length = strnlen(src, sizeof dst);
    std::memcpy(dst, src, length);
    if (length < sizeof dst) dst[length] = '\0';
}

// Ends the process after a library-wide failure once library threads may exist: returning
// from main would run static destructors under their feet.
[[noreturn]] void end_after_library_failure() {
    qvxml_error_print(0);
    end_process(-1);
}

}  // namespace

int run_flow() {
    if (qvxml_init() != 0) {
        qvxml_error_print(0);
        // A failed start may leave thread 0 running (a second initialisation counts only).
        end_process(-1);
    }

    connect_state = 0;
    qvxml_callbacks callbacks;
    qvxml_clr_callback(0, &callbacks);
    callbacks.on_values = values_xml_callback;
    callbacks.on_setup = setup_xml_callback;
    callbacks.on_send_setup = send_setup_xml_callback;
    callbacks.on_connect = connect_success_callback;
    callbacks.on_connect_failure = connect_failure_callback;
    qvxml_settings settings;
    qvxml_clr_settings_struct(&settings);
    settings.test_connection = 1;
    settings.callbacks = callbacks;
    if (user_settings.user[0] != '\0') {
        copy_credential(settings.get_user, user_settings.user);
        copy_credential(settings.get_password, user_settings.password);
        copy_credential(settings.set_user, user_settings.user);
        copy_credential(settings.set_password, user_settings.password);
    }

    {
        char line[64];
        std::snprintf(line, sizeof line, "%s:%i connecting", user_settings.ip, user_settings.port);
        print_progress(line);
    }
    module = qvxml_open(user_settings.ip, user_settings.port, &settings, nullptr);
    if (module == -1) end_after_library_failure();
    // The reason of a failed start wait is recorded on id 0, not on the module.
    if (qvxml_wait_finish(module, QVXML_FINISH_RUNNING, kModuleStartSeconds) != 0)
        end_after_library_failure();

    wait_connection_test();

    if (user_settings.filename[0] != '\0' && send_setup() != 0) end_process(kExitSetupFileFailure);
    if (user_settings.output.load() != -1)
        set_output(user_settings.output.load(), user_settings.output_value.load());
    if (user_settings.values_file[0] != '\0') get_document(QVXML_FINISH_VALUES);
    if (user_settings.setup_file[0] != '\0' || user_settings.get == 1 ||
        user_settings.text_file[0] != '\0')
        get_document(QVXML_FINISH_SETUP);

    if (qvxml_uninit() != 0) end_after_library_failure();
    print_progress("exit\n");
    return request_unfinished() ? kExitRequestUnfinished : 0;
}
