#pragma once

#include <cstdint>

// Configuration from the process environment. Switches are on only when their value is
// exactly "YES"; numbers are decimal. Values marked "cached" are read on first use (under
// the thread-safe initialisation of a function-local static) and never again: later changes
// to the environment do not reach them.

// The variable as a decimal integer, or defVal when unset. A value that does not start with
// a decimal integer logs "quor_getenv(): invalid non-integer value = ..." and gives 0; values
// beyond the range of int are held at its limits.
int quor_getenv(const char* name, int defVal);
// The value when it is exactly "YES", otherwise null.
const char* quor_getenv_yes(const char* name);

// Cached accessors of the transport's variables.
// QUOR_TCP_BUFFER_SIZE: socket receive/send buffer size, 32768 when unset; 0 or less keeps
// the system's size.
int quor_tcp_buffer_size();
// QUOR_DISABLE_NAGLE: switch, TCP_NODELAY on every socket.
bool quor_disable_nagle();
// QUOR_CONN_TIMEOUT: connect time-out in seconds, 3 when unset; 0 (or a non-number) disables.
int quor_conn_timeout();
// QUOR_CLUSTER_BIND: host that outgoing connections bind to, null when unset.
const char* quor_cluster_bind();
// QUOR_SOCKS_PROXY_HOST / QUOR_SOCKS_PROXY_PORT: the SOCKS5 proxy, each null when unset; the
// proxy is used only when both are set. The port is the decimal text as given; a text that
// names no port from 1 to 65535 fails the connect.
const char* quor_socks_proxy_host();
const char* quor_socks_proxy_port();
// DISPLAY: the whole value, null when unset; the terminal's host is the part before its
// first ':'.
const char* quor_display();

// Not cached: read at every call.
// QUOR_TRUE_BIND: switch, ports from service strings are used without exchanging their bytes.
bool quor_true_bind();
// QUOR_FIX_LARGE_LIST: set to anything, receive buffers grow in large steps, up to the limit
// QUOR_MAX_RECV_BUFFER sets (see CAppConn).
bool quor_fix_large_list();

// The first character of QUOR_FIXTAG_DELIM (cached), ';' when unset or empty.
char quor_fixtag_delim();
// Fee for a gross amount, rounded to 4 decimals: factor * gross / 1,000,000 with the factor
// from QUOR_SECFEE (cached, floating point), 46.8 when unset.
double get_Sec_Fee(double gross);

// When the switch QUOR_SYM_SPACE is on (cached): replace in place every '|' by a blank, or
// every blank by '|'. Return s.
char* bar_space_int(char* s);
char* space_bar_int(char* s);
// The same on a copy: when the switch is on and s holds the character to replace, the result
// is a per-thread buffer valid until the next call of the same function on that thread;
// otherwise s itself. Texts of any length are handled whole.
const char* bar_space(const char* s);
const char* space_bar(const char* s);

// True when " " + opt + " " occurs in list; false when either is null or empty.
bool is_env_match(const char* list, const char* opt);

// QUOR_RPLD_REF (a blank-separated list, cached) and the switch QUOR_INV_RPLD_ENV (cached):
// without the list, true exactly when the switch is on; with it, whether dest is in the
// list, inverted when the switch is on. False for a null dest.
bool isQuorRpldRefSet(const char* dest);
// Whether either variable is set at all (false for a null dest); match receives the
// one-argument answer (false when neither is set).
bool isQuorRpldRefSet(const char* dest, bool& match);

// True when the switch QUOR_AUTO_CLAIM is on, or sndr is "A-MAN" or listed in
// QUOR_AUTO_CLAIM_SENDERS (both cached). False for a null or empty sndr unless the switch is on.
bool isAutoClaim(const char* sndr);

// Reads the seconds and microseconds tags from QUOR_FX_MICROSECOND_QUOTES (cached; a
// comma-separated list, first 128 characters, positive integers only). True with exactly two
// positive pieces; otherwise both tags are 0 and the result false.
bool getMicroSecondQuotesTags(int& nSecTag, int& nMicrosecTag);

// Writes the process's environment lines that begin with "QUOR" to standard error, then a
// line end. Returns the exit status of /usr/bin/env, or 0 when it could not be started.
int list_quor_env();
// Logs "Process id: <pid>" at information level.
void show_pid();

// For a path beginning with '/', the part after its last '/'; otherwise the path itself.
const char* Path_2_File(const char* path);
// Every character a decimal digit (an empty text counts); false for null.
bool IsNumber(const char* p);
// A non-empty text of digits and dots other than "."; false for null.
bool Is_Num(const char* s);
// 1 when a exceeds b by more than 1e-10, -1 when b exceeds a by more than 1e-10, else 0.
int compare_decimal(double a, double b);
// A buffer of at least len bytes (malloc/free): p is kept when last_len >= len, except that a
// buffer above 10,000 bytes is replaced when len is at most 9,999. last_len receives the size
// of the buffer returned (0 when allocation fails, the result then being null).
char* Malloc_LastLen(char* p, int& last_len, int len);

// A version triple; (-1, -1, -1) when a version text is invalid.
struct _stKOVersion {
    int32_t m_nYear;
    int32_t m_nMajor;
    int32_t m_nPatch;
};

// "Rel-12-2-0_QA" gives (12, 2, 0): digits from the first digit on, '-' and '.' separating
// year, major and patch, other characters skipped. Invalid unless major < 100, patch < 1000,
// not all zero, and year, two-digit major and three-digit patch take at most 9 characters.
_stKOVersion ConvertVersionStringtostKOVer(const char* version);
// year * 100,000 + major * 1,000 + patch, or 0 for an invalid version.
int ConvertVersionStringtoNum(const char* version);
