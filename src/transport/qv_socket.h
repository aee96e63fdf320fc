// Socket layer: the POSIX socket calls the HTTP exchange needs, and its one piece of policy,
// the readiness wait in one-second attempts that ends the calling thread as soon as the
// module it works for has been told to stop. Nothing above this layer calls poll(),
// getaddrinfo() or setsockopt() directly.
#pragma once

#include <netinet/in.h>

#include <atomic>

// Slots of a descriptor set. Callers of this layer pass sets holding one socket.
constexpr int QV_FD_SET_SIZE = 64;

// A set of sockets for a readiness wait: `count` sockets in `fd[0..count-1]`. Unlike the
// platform's fd_set it is a list, so descriptor numbers are not limited (poll() is used).
struct qv_fd_set {
    int count;
    int fd[QV_FD_SET_SIZE];
};

void qv_fd_zero(qv_fd_set *set);
// Adds `fd` unless already present. 0, or -1 when the set is full.
int qv_fd_add(qv_fd_set *set, int fd);
bool qv_fd_isset(const qv_fd_set *set, int fd);

// Always 1 on POSIX (every supported system is of the newer kind), set statically so that
// workers calling qv_socket_init concurrently write nothing shared. Exported state; nothing
// in the library reads it.
extern int qv_winxp_or_later;

// Starts the socket service. On POSIX there is none to start: returns 0. Harmless to call
// again; any thread.
int qv_socket_init();
// The platform's clean-up: 0 on POSIX. Nothing calls it.
int qv_socket_uninit();
// The calling thread's last socket error number (errno).
int qv_socket_error();

// Sets one option on `socket`; only the low 8 bits of `kind` count:
//   0 non-blocking mode on          1 TCP_NODELAY = 1
//   2 SO_REUSEADDR = 1              3 SO_SNDBUF = 10485760 bytes
//   5 SO_LINGER on with 0 seconds   4, 6..255 nothing
// 0, or -1 when the platform refuses the option (errno tells why). Records no code.
int qv_socket_set(int socket, int kind);

// Readiness wait in one-second attempts. Each given set (null = not waited on) is copied,
// polled for one second (read: data or end of stream or error; write: writable or error;
// except: urgent data); when at least one socket is ready, the given sets are overwritten
// with the ready ones and the result is 0. After `attempts` empty attempts (a wait error
// counts as one) the result is -1; `attempts` <= 0 gives -1 at once. `descriptor_count` is
// the platform's count argument on systems that need one and is not used with poll().
// After every attempt, if `*run_flag` (the module's `state`, read atomically) is 0, or the
// calling library thread has been asked to end (qv_thread_cancel), the calling thread ends
// at once through qv_thread_exit: this call does not return and the caller does not
// continue. A null `run_flag` never ends the thread. `id` is not used by the wait.
// REQUIRES: a thread whose end is allowed here (a library thread started by
// qv_thread_create) whenever `run_flag` can become 0 during the wait.
int qv_socket_select(int id, int descriptor_count, qv_fd_set *read_set, qv_fd_set *write_set,
                     qv_fd_set *except_set, int attempts, const std::atomic<int> *run_flag);

// close(); the platform's result.
int qv_socket_close(int socket);
// shutdown() of both directions: a thread waiting on `socket` sees it ready at once. The
// descriptor stays open. The platform's result.
int qv_socket_shutdown(int socket);

// Name resolution seam: writes the first IPv4 address of `host_name` into `*address` and
// returns 0, or returns -1 when the name does not resolve, with errno set to the error of
// the system call that failed, or 0 when the answer was that there is no such address.
// Must be thread-safe.
using qv_resolver = int (*)(const char *host_name, struct in_addr *address);
// The default resolver: getaddrinfo(), IPv4 stream addresses only.
int qv_resolve_getaddrinfo(const char *host_name, struct in_addr *address);
// Replaces the resolver used by resolve_address (null restores the default) and returns
// the one in use before. Tests install their own so that no test reaches a DNS server.
qv_resolver qv_socket_set_resolver(qv_resolver resolver);

// Resolves `host_name` through the installed resolver and writes the address in dotted
// decimal (at most 15 characters and a NUL) into `address_text`, which holds at least 16
// characters. 0, or -1 with `address_text` unchanged and errno as the resolver left it
// (0 for no such address, and for null arguments). Records no code. Any thread.
int resolve_address(char *address_text, const char *host_name);

// Copies the whole `source` set into `local` and returns `local`; returns null (and leaves
// `local` alone) when `source` is null, so a set the caller did not give stays absent.
qv_fd_set *qv_socket_fd_set_init(const qv_fd_set *source, qv_fd_set *local);
