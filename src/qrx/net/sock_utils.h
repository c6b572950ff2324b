// Free helpers of the socket layer: host addresses, peer names, the error
// lines of failed system calls and the switch of the connect time-out.
#pragma once

// Size of the buffers that hostaddr_dots and fd_2_Host write to.
constexpr int QRX_ADDR_TEXT_LEN = 16;   // a dotted IPv4 address and its NUL
constexpr int QRX_HOST_NAME_LEN = 256;  // a host name or a dotted address

struct addrinfo;

// Resolves name as an IPv4 stream host, with port (a numeric port; null for
// none). *res receives the list, null on failure; the result is getaddrinfo's.
int resolve_ipv4(const char* name, const char* port, struct addrinfo** res);
// Resolves name as an IPv4 stream host and writes its first address, dotted,
// to the QRX_ADDR_TEXT_LEN bytes at out; false when it does not resolve.
bool resolve_dotted(const char* name, char* out);

// Switches the descriptor to non-blocking mode; false when fcntl fails.
bool set_nonblocking(int fd);

// The dotted IPv4 form of a host (anything from the first ':' on is ignored):
// a dotted address is taken as it is, a name is resolved; "LOCALPC" or a name
// that does not resolve stands for this machine's own host name. Writes at most
// QRX_ADDR_TEXT_LEN bytes to out and returns it, or null when nothing resolves.
char* hostaddr_dots(const char* addr, char* out);
// The same into a static buffer (not for concurrent use).
char* hostaddr_dots(const char* addr);

// The peer of a connected socket: its dotted address for an Internet socket,
// this machine's host name for a Unix-domain one. Writes at most
// QRX_HOST_NAME_LEN bytes to hostnam and returns it, or null on failure.
char* fd_2_Host(int fd, char* hostnam);
// The same into a static buffer (not for concurrent use).
char* fd_2_Host(int fd);

// Writes "sock_err(): <stamp>**ERROR**\t:In <descr>: <err>: <system message>"
// to standard error, the system message being that of the current errno, which
// is left as it was.
void sock_err(const char* descr, const char* err);

// printf-style formatting into a process-wide ring of 300,000 bytes: a text
// stays valid while less than about 200,000 bytes of later texts have been
// made. Texts that would not fit the ring's free tail are cut.
const char* make_str(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Switches the connect time-out on (the default) or off for the whole process.
void enable_csock_signals(bool enable);
bool csock_signals_enabled();

// Nothing to initialise on this platform; always succeeds.
bool InitSockApp();

// The current time stamp of the log lines, "[hh:mm:ss.uuuuuu] - ", into buf.
void format_log_stamp(char* buf, int len);
