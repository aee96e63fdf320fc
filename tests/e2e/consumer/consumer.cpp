// A C++ program built against the installed library (see CMakeLists.txt here): qvxml.h
// used from C++, the library started and ended, one code's message and a Base64 text.
#include <qvxml.h>

#include <cstdio>
#include <string>

int main() {
    char message[64];
    char encoded[16];
    const size_t encoded_length = b64_encode("tarvik", 6, encoded, sizeof encoded);
    const std::string text = qv_error_i2s(28, message);
    if (qvxml_init() != 0) return 3;
    std::printf("%s|%.*s\n", text.c_str(), static_cast<int>(encoded_length), encoded);
    return qvxml_uninit() == 0 ? 0 : 7;
}
