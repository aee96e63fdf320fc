// Test helpers for the transport tests: a tarvik-device process on 127.0.0.1 with a port it
// picked itself, and small helpers around the module table.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Starts tarvik-device with `args` (plus --port 0, --log and --capture into a private
// temporary directory) and waits up to 5 s for the port it prints. The destructor stops it
// (SIGTERM, then SIGKILL after 3 s) and removes the directory.
class device_process {
public:
    explicit device_process(const std::vector<std::string> &args = {});
    ~device_process();
    device_process(const device_process &) = delete;
    device_process &operator=(const device_process &) = delete;

    bool started() const { return port_ > 0; }
    int port() const { return port_; }
    // The request log so far (one line per request).
    std::string log() const;
    // The bytes of the n-th request the device received (1-based), or "" when absent.
    std::string captured(int n) const;
    // Sends SIGTERM and waits up to 3 s; returns the exit status or -1.
    int stop();
    const std::string &dir() const { return dir_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string dir_;
};

std::string device_binary();
std::string source_path(const std::string &relative);
std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
// A free TCP port on 127.0.0.1 with nothing listening (bound, then released).
int unused_port();
// A socket listening on 127.0.0.1 at a port the system picks, with `backlog`; its address in
// `address`. -1 on failure. The caller closes it.
int loopback_listener(int backlog, struct sockaddr_in *address);
// Resets module `id` of the module table for a test: run flag 1, no callbacks, no
// credentials, fault record cleared, no socket.
void reset_module(int id);
