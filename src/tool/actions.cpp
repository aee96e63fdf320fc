// tarvik's device actions and completion callbacks (see actions.h).
#include "tool/actions.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "tool/report.h"
#include "tool/tool.h"

namespace {

// Completion kinds of the callbacks: values, setup, send.
enum completion { kValues = 0, kSetup = 1, kSend = 2, kCompletions = 3, kNoCompletion = -1 };

// The console lock. Recursive because a callback that holds it may end the process, which
// takes it again. Held only while printing or running a callback, never across a blocking
// library call of the main thread (qvxml_uninit joins the worker, whose callback may wait
// for it).
std::recursive_mutex console;
// Signalled when a completion callback returns or the connection test has a result.
std::condition_variable_any completed_cv;
// Completion callbacks that have returned, per completion kind; guarded by `console`.
unsigned completed[kCompletions];
// completed[k] the current request of kind k waits for; guarded by `console`.
unsigned expected[kCompletions];
// The number, counted in completed[kSend], of the reply to the output switch (0: none
// awaited). Only that reply is checked against user_settings.output: an upload whose reply
// comes late, after the switch was queued, is not.
std::atomic<unsigned> switch_reply{0};
std::atomic<bool> unfinished{false};

completion completion_of(int finish_kind) {
    switch (finish_kind) {
        case QVXML_FINISH_VALUES:
        case QVXML_FINISH_VALUES + 1:
            return kValues;
        case QVXML_FINISH_SETUP:
        case QVXML_FINISH_SETUP + 1:
            return kSetup;
        case QVXML_FINISH_SEND:
        case QVXML_FINISH_SEND + 1:
            return kSend;
        default:
            return kNoCompletion;
    }
}

// Marks the start of a request of `kind`: it is done once the callback of its reply has
// returned, which comes after those of earlier requests of that kind still unanswered (one
// that was not finished within its polls may still answer). Returns the number of that
// callback in completed[kind]. REQUIRES: before the request is queued.
unsigned begin_request(completion kind) {
    std::lock_guard<std::recursive_mutex> lock(console);
    expected[kind] = std::max(completed[kind], expected[kind]) + 1;
    return expected[kind];
}

// Held by a completion callback for its whole run; counts the callback as returned when
// it ends normally (the failure paths end the process before that).
class callback_scope {
public:
    explicit callback_scope(completion kind) : kind_(kind), lock_(console) {}
    ~callback_scope() {
        std::fflush(stdout);
        ++completed[kind_];
        completed_cv.notify_all();
    }
    callback_scope(const callback_scope &) = delete;
    callback_scope &operator=(const callback_scope &) = delete;

private:
    completion kind_;
    std::lock_guard<std::recursive_mutex> lock_;
};

// Number of entries to visit in a set whose count says `count`, within the set's slots.
template <typename Field, size_t N>
int clamp_count(int32_t count, const Field (&)[N]) {
    if (count < 0) return 0;
    return count > static_cast<int32_t>(N) ? static_cast<int>(N) : count;
}

// A reply that parsed without a fatal error may still carry no document at all (an empty
// body, an HTML page): " OK" is printed only when the library's accessor takes the
// document, else the run ends with the code it records (10 or 11).
bool document_usable(int id, completion kind) {
    char *text = nullptr;
    int length = 0;
    return (kind == kValues ? qvxml_get_values_xml(id, &text, &length)
                            : qvxml_get_setup_xml(id, &text, &length)) == 0;
}

// Queues a POST of `document`; a refusal ends the process with the module's error, after
// one blank that separates it from the "SEND"/"SET output" line (as for a failed POST).
// REQUIRES: begin_request(kSend) first.
void queue_post(const char *document, int length) {
    if (qvxml_send_setup_xml(module, document, length) != 0) {
        std::lock_guard<std::recursive_mutex> lock(console);
        std::printf(" ");
        end_with_module_error(module);
    }
}

}  // namespace

// ---- ending the process ------------------------------------------------------------------

void end_process(int code) {
    // Lets a callback that is printing or writing a file finish first; the lock is never
    // released, so nothing is printed after the flush.
    console.lock();
    std::fflush(stdout);
    _exit(code);
}

void end_with_module_error(int id) {
    std::lock_guard<std::recursive_mutex> lock(console);
    qvxml_error_print(id);
    xml_fault_record record;
    qvxml_error(id, &record);
    // A failure must never end with 0: a record that holds no code ends as the library
    // failures of the run flow do.
    end_process(record.code > 0 ? record.code : -1);
}

bool request_unfinished() {
    return unfinished.load();
}

void print_progress(const char *what) {
    std::lock_guard<std::recursive_mutex> lock(console);
    std::fputs(what, stdout);
    std::fflush(stdout);
}

// ---- callbacks ---------------------------------------------------------------------------

void connect_success_callback(int, void *, int) {
    std::lock_guard<std::recursive_mutex> lock(console);
    int none = 0;
    if (connect_state.compare_exchange_strong(none, 1)) {
        std::printf(" OK\n");
        std::fflush(stdout);
        completed_cv.notify_all();
    }
}

void connect_failure_callback(int, void *, int, xml_fault_record *) {
    std::lock_guard<std::recursive_mutex> lock(console);
    connect_state = -1;
    std::printf(" failure\n");
    std::fflush(stdout);
    completed_cv.notify_all();
}

void values_xml_callback(int id, void *, int, kyvern_values *values, kyvern_values_entry_count *) {
    callback_scope scope(kValues);
    if (values == nullptr || !document_usable(id, kValues)) end_with_module_error(id);
    std::printf(" OK\n");
    if (user_settings.values_file[0] != '\0') {
        if (qvxml_get_values_to_file(id, user_settings.values_file) != 0) end_with_module_error(id);
        std::printf("SAVE %s\n", user_settings.values_file);
    }
}

void setup_xml_callback(int id, void *, int, kyvern_setup *setup, kyvern_setup_entry_count *count) {
    callback_scope scope(kSetup);
    if (setup == nullptr || !document_usable(id, kSetup)) end_with_module_error(id);
    std::printf(" OK\n");
    if (user_settings.setup_file[0] != '\0') {
        if (qvxml_get_setup_to_file(id, user_settings.setup_file) != 0) end_with_module_error(id);
        std::printf("SAVE %s\n", user_settings.setup_file);
    }
    if (user_settings.get == 1) print_setup_xml(stdout, setup, count);
    if (user_settings.text_file[0] != '\0') {
        std::FILE *file = std::fopen(user_settings.text_file, "w");
        if (file == nullptr) {
            std::printf("Open '%s' failure\n", user_settings.text_file);
            end_process(kExitTextFileFailure);
        }
        print_setup_xml(file, setup, count);
        if (std::fclose(file) != 0) {
            std::printf("Close '%s' failure\n", user_settings.text_file);
            end_process(kExitTextFileFailure);
        }
        std::printf("SAVE %s\n", user_settings.text_file);
    }
}

void send_setup_xml_callback(int id, void *, int, kyvern_setup *setup,
                             kyvern_setup_entry_count *count) {
    callback_scope scope(kSend);
    if (setup == nullptr || !document_usable(id, kSetup)) {
        std::printf(" ");
        end_with_module_error(id);
    }
    const int output = user_settings.output.load();
    // callback_scope counts this callback when it returns: this reply's number is one more.
    if (switch_reply.load() != completed[kSend] + 1 || output == -1) {
        std::printf(" OK\n");
        return;
    }
    const int outputs = clamp_count(count->BinaryOutSet, setup->BinaryOutSet_Entry_ID);
    int i = 0;
    while (i < outputs && std::atoi(setup->BinaryOutSet_Entry_ID[i]) != output) ++i;
    if (i == outputs) {
        std::printf(" output %i is not available (use 1..%i)\n", output, outputs);
        end_process(kExitSetOutputFailure);
    }
    const int mode = std::atoi(setup->BinaryOutSet_Entry_Mode[i]);
    if (std::atoi(setup->BinaryOutSet_Entry_Value[i]) == user_settings.output_value.load() &&
        mode == 0) {
        std::printf(" OK\n");
        user_settings.output = -1;
        user_settings.output_value = -1;
        switch_reply = 0;
        return;
    }
    std::printf(" failure\n");
    if (mode != 0) std::printf("Manual output control is not allowed.\n");
    end_process(kExitSetOutputFailure);
}

// ---- actions -----------------------------------------------------------------------------

int wait_finish_progress(int kind, int tries) {
    if (tries <= 0) return 0;
    const completion callback = completion_of(kind);
    for (int i = 0; i < tries; ++i) {
        // Polled under the console lock: a callback that holds it has returned (and its
        // finish mark is visible) by the time the poll runs, so no stale "." follows its lines.
        std::unique_lock<std::recursive_mutex> lock(console);
        const bool finished = qvxml_finish(module, kind) == 0;
        if (finished && (callback == kNoCompletion || completed[callback] >= expected[callback]))
            return 0;
        std::printf(".");
        std::fflush(stdout);
        if (callback == kNoCompletion) {
            lock.unlock();
            std::this_thread::sleep_for(std::chrono::seconds(1));
        } else {
            // The pause ends early when a completion callback of this kind returns; the
            // finish mark that precedes it is then seen by the next poll.
            const unsigned seen = completed[callback];
            completed_cv.wait_for(lock, std::chrono::seconds(1),
                                  [&] { return completed[callback] != seen; });
        }
    }
    {
        std::lock_guard<std::recursive_mutex> lock(console);
        std::printf("not finish for %is\n", tries);
        std::fflush(stdout);
    }
    unfinished = true;
    return -1;
}

void wait_connection_test() {
    std::unique_lock<std::recursive_mutex> lock(console);
    for (int polls = 0; connect_state.load() == 0; ++polls) {
        if (polls == kConnectTestPolls) {
            std::printf("not finish for %is\n", kConnectTestPolls);
            end_process(kExitRequestUnfinished);
        }
        std::printf(".");
        std::fflush(stdout);
        completed_cv.wait_for(lock, std::chrono::seconds(1),
                              [] { return connect_state.load() != 0; });
    }
    if (connect_state.load() == -1) {
        xml_fault_record record;
        qvxml_error(module, &record);
        end_process(record.code > 0 ? record.code : -1);
    }
}

void get_document(int kind) {
    const completion callback = completion_of(kind);
    print_progress(callback == kValues ? "GET values.xml" : "GET setup.xml");
    begin_request(callback);
    const int queued = callback == kValues ? qvxml_get_values(module) : qvxml_get_setup(module);
    if (queued != 0) end_with_module_error(module);
    wait_finish_progress(kind, kRequestPolls);
}

int compact_lines(char *text) {
    // Keep a character when it is not at a line start or is the "<" that opens the line's
    // markup; a CR or LF starts a new line.
    int kept = 0;
    bool line_start = true;
    for (const char *cursor = text; *cursor != '\0'; ++cursor) {
        const char c = *cursor;
        if (!line_start || c == '<') {
            text[kept++] = c;
            line_start = false;
        }
        if (c == '\r' || c == '\n') line_start = true;
    }
    text[kept] = '\0';
    return kept;
}

int send_setup() {
    const char *name = user_settings.filename;
    std::FILE *file = std::fopen(name, "r");
    if (file == nullptr) {
        std::lock_guard<std::recursive_mutex> lock(console);
        std::printf("Open '%s' failure\n", name);
        std::fflush(stdout);
        return -1;
    }
    // One byte more than the limit keeps the text terminated whatever the file holds.
    std::unique_ptr<char[]> text(new char[kUploadBufferSize + 1]());
    const size_t whole = std::fread(text.get(), kUploadBufferSize, 1, file);
    std::fclose(file);  // only read: closing it now leaves nothing open on any exit path
    if (whole == 1) {
        std::lock_guard<std::recursive_mutex> lock(console);
        std::printf("Max size of SETUP.XML is %i bytes\n", kUploadBufferSize);
        std::fflush(stdout);
        return -1;
    }

    const int kept = compact_lines(text.get());

    {
        std::lock_guard<std::recursive_mutex> lock(console);
        std::printf("SEND %s", name);
        std::fflush(stdout);
    }
    begin_request(kSend);
    queue_post(text.get(), kept);
    wait_finish_progress(QVXML_FINISH_SEND, kRequestPolls);
    return 0;
}

int set_output(int output, int value) {
    std::unique_ptr<char[]> document(new char[kUploadBufferSize]());
    const int length = std::snprintf(document.get(), kUploadBufferSize,
                                     "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Root>\n"
                                     "<BinaryOutSet>\n<Entry>\n<ID>%i</ID>\n<Value>%i</Value>\n"
                                     "</Entry>\n</BinaryOutSet>\n</Root>\n",
                                     output, value);
    {
        std::lock_guard<std::recursive_mutex> lock(console);
        std::printf("SET output %i=%i", output, value);
        std::fflush(stdout);
    }
    switch_reply = begin_request(kSend);
    queue_post(document.get(), length);
    wait_finish_progress(QVXML_FINISH_SEND, kRequestPolls);
    return 0;
}
