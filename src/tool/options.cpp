// The parse stage of tarvik: options, address and port, help, version and error-level
// listings.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tool/tool.h"

tool_settings user_settings;
int module = 0;
std::atomic<int> connect_state{0};

namespace {

// The -o argument is split in a working buffer of this size; longer arguments are bad.
constexpr size_t kOutputArgBuffer = 512;
// Outputs are numbered 151..214 by the device; 1..64 name the same outputs.
constexpr int kOutputNumberBase = 150;

const char *program_name = "tarvik";

enum class option_id {
    filename,
    values,
    output,
    setup,
    text,
    get,
    user,
    password,
    error_level,
    version,
    help,
};

struct option_entry {
    const char *names[3];  // exact, case-sensitive spellings; unused slots are null
    option_id id;
};

// Compared in this order.
const option_entry options[] = {
    {{"-f", "--filename", nullptr}, option_id::filename},
    {{"-v", "--values", nullptr}, option_id::values},
    {{"-o", "--output", nullptr}, option_id::output},
    {{"-s", "--setup", nullptr}, option_id::setup},
    {{"-t", nullptr, nullptr}, option_id::text},  // no long form: --text is unknown
    {{"-g", "--get", nullptr}, option_id::get},
    {{"-u", "--user", nullptr}, option_id::user},
    {{"-p", "--password", nullptr}, option_id::password},
    {{"--error-level", nullptr, nullptr}, option_id::error_level},
    {{"--version", nullptr, nullptr}, option_id::version},
    {{"/h", "/?", "-h"}, option_id::help},
    {{"--help", nullptr, nullptr}, option_id::help},
};

const option_entry *find_option(const char *arg) {
    for (const option_entry &entry : options)
        for (const char *name : entry.names)
            if (name != nullptr && std::strcmp(arg, name) == 0) return &entry;
    return nullptr;
}

// The number at the start of `text` as atoi reads it (leading blanks, optional sign,
// digits up to the first non-digit, 0 without digits), saturated to the int range instead
// of overflowing.
int text_to_int(const char *text) {
    errno = 0;
    long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

void init_settings() {
    user_settings.ip[0] = '\0';
    user_settings.port = kDefaultPort;
    user_settings.get = 0;
    user_settings.output = -1;
    user_settings.output_value = -1;
    user_settings.filename[0] = '\0';
    user_settings.setup_file[0] = '\0';
    user_settings.values_file[0] = '\0';
    user_settings.text_file[0] = '\0';
    user_settings.user[0] = '\0';
    user_settings.password[0] = '\0';
    module = 0;
    connect_state = 0;
}

void print_version(const char *name) {
    std::printf("%s %s (%s, %s)\n", name, "1.0.5", "21:56:40", "Jan 24 2021");
    std::printf("Written by the tarvik developers.\n\n");
    std::printf("Copyright (C) the tarvik project. All rights reserved.\n");
}

void print_error_levels() {
    std::printf("Error level:\n");
    std::printf("  200 SETUP.XML failure\n");
    std::printf("  201 DATA.TXT failure\n");
    std::printf("  202 set output failure\n\n");
    char message[64];
    for (int code = 1; code < QVXML_ERROR_CODE_COUNT; ++code)
        std::printf("    %i %s\n", code, qv_error_i2s(code, message));
}

// X=Y: output X (1..64 or 151..214, not range-checked here), value Y (1/ON/on, 0/OFF/off).
// Returns 0 and sets user_settings.output/output_value, or -1 for a bad argument.
int parse_output(const char *arg) {
    char work[kOutputArgBuffer];
    size_t length = std::strlen(arg);
    if (length >= sizeof work) return -1;
    std::memcpy(work, arg, length + 1);
    char *equals = std::strchr(work, '=');
    if (equals == nullptr) return -1;
    *equals = '\0';
    const char *value_text = equals + 1;
    int value;
    if (std::strcmp(value_text, "1") == 0 || std::strcmp(value_text, "ON") == 0 ||
        std::strcmp(value_text, "on") == 0) {
        value = 1;
    } else if (std::strcmp(value_text, "0") == 0 || std::strcmp(value_text, "OFF") == 0 ||
               std::strcmp(value_text, "off") == 0) {
        value = 0;
    } else {
        return -1;
    }
    int number = text_to_int(work);
    user_settings.output = number > 149 ? number : number + kOutputNumberBase;
    user_settings.output_value = value;
    return 0;
}

}  // namespace

void arg_next_index(int argc, int *pos, const char *option) {
    ++*pos;
    if (*pos >= argc) {
        std::printf("Option '%s' requests an argument\n", option);
        std::fflush(stdout);
        std::exit(0);
    }
}

void help(const char *name) {
    std::printf("Usage: %s [OPTIONS] IP_ADDRESS [PORT (default: %i)]\n\n", name,
                user_settings.port);
    std::printf("Options:\n");
    std::printf("  -g, --get                  Get actual values and print list\n");
    std::printf("  -o, --output X=Y           Set output X (1..64) or (151..214) to value\n");
    std::printf("                             Y (0, 1, OFF, ON)\n");
    std::printf("  -f, --filename SETUP.XML   File with configuration for uploading to the\n");
    std::printf("                             remote device (max. %i bytes)\n", QVXML_BUFFER_SIZE);
    std::printf("  -v, --values VALUES.XML    File to store actual values in XML format\n");
    std::printf("  -s, --setup SETUP.XML      File to store remote device configuration\n");
    std::printf("  -t, --text DATA.TXT        File to store actual values in text format\n");
    std::printf("  -u, --user USER            HTTP authorization user\n");
    std::printf("  -p, --password PASSWORD    HTTP authorization password\n\n");
    std::printf("  -h, --help                 Print this help and exit\n");
    std::printf("      --version              Display version information and exit\n");
    std::printf("      --error-level          Print error levels and exit\n\n");
    std::printf("Examples:\n");
    std::printf("  tarvik -g 192.168.0.41\n");
    std::printf("  tarvik -s c:\\data\\setup.xml -v c:\\data\\values.xml 192.168.0.41\n");
    std::printf("  tarvik -o 1=ON 192.168.0.41\n");
    std::printf("  tarvik -o 1=1 192.168.0.41 8080\n");
    std::printf("  tarvik -f setup.xml 192.168.0.41\n\n");
    std::printf("tarvik is the command line of the tarvik project, built on its qvxml library.\n");
    std::printf("Report problems to the tarvik project.\n");
}

int copy_str(char *dst, const char *src, int max_len, const char *name) {
    if (std::strlen(src) > static_cast<size_t>(max_len)) {
        std::printf("maximal length of %s is %i chars\n", name, max_len);
        return -1;
    }
    std::strcpy(dst, src);
    return 0;
}

int copy_ip(char *dst, const char *src) {
    size_t length = std::strlen(src);
    if (length > static_cast<size_t>(kIpMaxLength)) return -1;
    std::memcpy(dst, src, length + 1);
    // Split a private copy: dst keeps the whole address, src (an argv entry that may be
    // printed later) stays intact.
    char work[kIpMaxLength + 1];
    std::memcpy(work, src, length + 1);
    char *cursor = work;
    for (int i = 0; i < 4; ++i) {
        char *part = qv_strsep(&cursor, ".");
        if (part == nullptr) return -1;
        for (const char *c = part; *c != '\0'; ++c)
            if (*c < '0' || *c > '9') return -1;
    }
    return 0;
}

int parse_command_line(int argc, char **argv) {
    init_settings();
    // An empty argument vector has no program path either.
    if (argc >= 1 && argv[0] != nullptr) program_name = qv_basename(argv[0]);
    if (argc <= 1) {
        help(program_name);
        return 0;
    }

    for (int pos = 1; pos < argc; ++pos) {
        const char *arg = argv[pos];
        if (const option_entry *option = find_option(arg)) {
            switch (option->id) {
                case option_id::filename:
                    arg_next_index(argc, &pos, arg);
                    if (copy_str(user_settings.filename, argv[pos], kPathMaxLength,
                                 "FILENAME.XML") != 0)
                        return 0;
                    break;
                case option_id::values:
                    arg_next_index(argc, &pos, arg);
                    if (copy_str(user_settings.values_file, argv[pos], kPathMaxLength,
                                 "VALUES.XML") != 0)
                        return 0;
                    break;
                case option_id::output:
                    arg_next_index(argc, &pos, arg);
                    if (parse_output(argv[pos]) != 0) {
                        help(program_name);
                        std::printf("\nBad argument for option --output");
                        return 0;
                    }
                    break;
                case option_id::setup:
                    arg_next_index(argc, &pos, arg);
                    if (copy_str(user_settings.setup_file, argv[pos], kPathMaxLength,
                                 "SETUP.XML") != 0)
                        return 0;
                    break;
                case option_id::text:
                    arg_next_index(argc, &pos, arg);
                    if (copy_str(user_settings.text_file, argv[pos], kPathMaxLength, "DATA.TXT") !=
                        0)
                        return 0;
                    break;
                case option_id::get:
                    user_settings.get = 1;
                    break;
                case option_id::user:
                    arg_next_index(argc, &pos, arg);
                    if (copy_str(user_settings.user, argv[pos], kAuthMaxLength, "USER") != 0)
                        return 0;
                    break;
                case option_id::password:
                    arg_next_index(argc, &pos, arg);
                    if (copy_str(user_settings.password, argv[pos], kAuthMaxLength, "PASSWORD") !=
                        0)
                        return 0;
                    break;
                case option_id::error_level:
                    print_error_levels();
                    return 0;
                case option_id::version:
                    print_version(program_name);
                    return 0;
                case option_id::help:
                    help(program_name);
                    return 0;
            }
            continue;
        }

        // Positional: the address is the last or the second-to-last argument, followed at
        // most by the port or by one flag option.
        if (pos == argc - 2) {
            if (copy_ip(user_settings.ip, arg) != 0) {
                help(program_name);
                if (arg[0] == '-')
                    std::printf("\nUnknown arg: %s\n", arg);
                else
                    std::printf("\nBad IP_ADDRESS");
                return 0;
            }
        } else if (pos == argc - 1) {
            if (user_settings.ip[0] != '\0') {
                user_settings.port = text_to_int(arg);
                break;
            }
            if (copy_ip(user_settings.ip, arg) != 0) {
                help(program_name);
                std::printf("\nBad IP_ADDRESS");
                return 0;
            }
            break;
        } else {
            std::printf("Unknown arg: %s\n", arg);
            return 0;
        }
    }

    if (user_settings.ip[0] == '\0') {
        help(program_name);
        return 0;
    }
    if (argc == 2 || argc == 3) user_settings.get = 1;
    return 1;
}
