// Name resolution: thread-safe calls into the host database, lookups guarded by the host
// blacklist, one resolver thread that performs them, and a cache of answers whose
// scheduler runs one lookup at a time, lets new questions overtake a slow one and bounds
// every question. Also the local host's name, address and domain.
#pragma once
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/lock.h"

namespace tq {

// A host address. An IPv4 address is one 32-bit word in host order (127.0.0.1 is
// 0x7f000001), stored in the first four bytes of d.
struct HOST_ADDR {
  uint16_t type;  // 4 IPv4, 0 none
  uint16_t size;  // bytes of d in use
  unsigned char d[16];
};

// The HOST_ADDR of an IPv4 address (type 4, size 4); address 0 gives an all-zero record.
HOST_ADDR getHA_v4(uint32_t addr);
// The IPv4 address of a record (0 when it holds none).
uint32_t ha_ipv4(const HOST_ADDR& a);
// 0 when type, size and the first size bytes agree, else -1.
int cmp_HA(const HOST_ADDR& a, const HOST_ADDR& b);

enum : uint32_t {
  HE_PERMANENT = 1,       // never expires (a "loghost" entry)
  HE_NEGATIVE = 0x10000,  // the question did not resolve
};

// One cached answer. It stays readable for at least kRemovedRing later removals from the
// cache, so a caller may use an entry it was given without holding any lock.
struct HOST_ENTRY {
  HOST_ENTRY* next;
  uint32_t flags;
  char* canonical;  // the first name (null for a negative address entry)
  char** names;     // null-terminated
  int ips_length;
  HOST_ADDR* ips;
  int timer;        // 0 once stored
  uint32_t access;  // time base second of the last use
};
inline constexpr int kRemovedRing = 100;

// ---- the host database seam ------------------------------------------------------------
// Where the resolver's answers come from: glibc's reentrant calls by default. Tests put a
// source of their own here so that no test depends on the machine's resolver; they may do
// so while the runtime's threads resolve, hence atomic (each call uses one source whole).
struct HOST_SOURCE {
  int (*byname)(const char* name, hostent* ret, char* buf, size_t len, hostent** result, int* h_err);
  int (*byaddr)(const void* addr, socklen_t addr_len, int type, hostent* ret, char* buf, size_t len,
                hostent** result, int* h_err);
  int (*ent)(hostent* ret, char* buf, size_t len, hostent** result, int* h_err);
  void (*set)(int stay_open);
  void (*end)();
};
extern const HOST_SOURCE glibc_host_source;
extern std::atomic<const HOST_SOURCE*> host_source;
// The resolver configuration file read for the local domain ("/etc/resolv.conf").
extern std::atomic<const char*> resolv_conf_path;

// ---- thread-safe calls -----------------------------------------------------------------
// Under resolv_lock. On success the result record (filled into `result` and `buf`); on
// failure null with errno and *h_errnop set to the database's error code, or to ERANGE
// when buf is too small.
hostent* _gethostbyname_r(const char* name, hostent* result, char* buf, int buflen, int* h_errnop);
hostent* _gethostbyaddr_r(const void* addr, int len, int type, hostent* result, char* buf, int buflen,
                          int* h_errnop);
hostent* _gethostent_r(hostent* result, char* buf, int buflen, int* h_errnop);
int _sethostent_r(int stay_open);  // returns the (cleared) error word: 0
int _endhostent_r();

// Self-sizing: the buffer starts at 100 bytes and grows by 100 while it is too small. The
// answer is a temporary of the calling task (see resolve_buffer_hook); null on failure.
hostent* _gethostbyname_rr(const char* name);
hostent* _gethostbyaddr_rr(const void* addr, int len, int type);
hostent* gethostent_rr();
int sethostent_rr(int stay_open);
int endhostent_rr();

// Receives each self-sizing answer (one debug-heap block) as a temporary of the calling
// task; set at start-up to the text layer's ring. Without it a thread keeps only its
// latest answer.
extern void (*resolve_buffer_hook)(void* block);

// ---- lookups through the blacklist -------------------------------------------------------
// A new HOST_ENTRY (the caller frees it with free_host_entry), or null when the key is
// failing or the lookup failed (which makes the key failing).
HOST_ENTRY* intr_gethostbyname_rr(const char* name);
HOST_ENTRY* intr_gethostbyaddr_rr(const HOST_ADDR& addr);  // a non-IPv4 record ends the process
HOST_ENTRY* machine2he_v4(const hostent* h);
void free_host_entry(HOST_ENTRY* he);

// ---- the cache ---------------------------------------------------------------------------
// A cached or new entry; null when the question does not resolve, or when it could not be
// answered within resolve_time_limit seconds (errno EHOSTUNREACH in both cases).
HOST_ENTRY* r_gethostbyname(const char* name);
HOST_ENTRY* r_gethostbyaddr(const HOST_ADDR& addr);

// Seconds a question may wait and run in all (120), on the tick clock (tick_now).
extern int resolve_time_limit;
// The clock of cache use and expiry, in seconds of the time base; null means get_tqtime.
extern uint32_t (*resolve_clock)();
// The hourly expiry: drops every entry that is not permanent and unused for an hour.
void resolv_tick(void*);
// Interrupts the running lookup (SIGALRM to the resolver thread), best effort: glibc may
// restart the interrupted wait.
void aboat_resolve_request();
// Gives SIGALRM a handler that does nothing (empty mask, no flags), so the alarm only breaks
// the blocking call it lands in. The signal set-up of the task pool (set_alarm_mask)
// installs its own such handler for SIGALRM, which replaces this one.
void aboat_resolve_request_init();

// ---- the local host ------------------------------------------------------------------------
// This host's name, computed once: from the host database's "loghost" entry, qualified with
// the local domain; "localhost" without one. Copied into buf (size bytes, always ended).
char* get_localhostname(char* buf, size_t size);
// This host's IPv4 address in host order, computed once; 127.0.0.1 without a "loghost".
uint32_t get_localhostip();
// The "domain" of the resolver configuration, kept once found; null when there is none.
const char* get_localdomainname();
// Forgets the local name, address and domain (tests change their sources).
void forget_local_host();

// ---- start-up ---------------------------------------------------------------------------------
extern SEM netutils_lock;  // host database scans and blacklisted lookups
extern SEM resolv_lock;    // every call into the host database
void init_resolv();        // creates resolv_lock
void init_resolve();       // the cache's locks, the removed-entry ring and the expiry tick
// Created by init_resolve for callers that serialise their own work around the resolver;
// the resolver itself never takes it.
extern SEM resolve_lock;

}  // namespace tq
