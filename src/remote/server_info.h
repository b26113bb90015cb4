// Server information: one record per remote server, found by host name or by IPv4
// address, holding a status word, a measured throughput and a free data word. The connect
// set-up records every server it reaches; the runtime feeds measured throughput.
//
// Records live in two tables of 13 chains, by name and by address; a record is in the
// name table exactly when it has a name and in the address table exactly when it has an
// address, in the chain its current address selects. serverinfo_lock guards both; records
// are never removed.
#pragma once
#include <cstdint>

namespace tq {

// Bits of active_flags: which fields are valid (stored) or to be set or looked up by.
enum : int {
  SI_STATUS = 0x1,
  SI_IP = 0x2,
  SI_NAME = 0x4,
  SI_THPUT = 0x8,
  SI_DATA = 0x10,
};

struct SERVER_INFO {
  int active_flags;
  int status;    // 1 for a new record unless given
  char* name;    // host name (the stored record's is its own copy)
  uint32_t ip;   // IPv4 address, host order
  int thput;     // throughput measure
  int data;      // free data word
};

struct _SERVER_INFO {
  SERVER_INFO i;
  uint32_t w_time;  // last change, tick-clock seconds
  uint32_t r_time;  // last read, 0 until read
  _SERVER_INFO* next;     // name chain
  _SERVER_INFO* ip_next;  // address chain
};

// The ways set_serverinfo takes a throughput (SI_THPUT) or data word (SI_DATA).
enum : int {
  SI_SET = 1,       // both: store the value
  SI_IF_ZERO = 2,   // data: store only over 0, else the result is -2
  SI_SMOOTH = 3,    // throughput: old x 0.9 + new x 0.1 while the new one is not larger
};

void init_serverinfo();  // runtime start-up: the lock

// Finds the record by name (SI_NAME), else by address (SI_IP and a non-zero ip; a record
// found so that has no name takes the one given), or makes one from those two; then,
// unless its status shares no bit with set_if (-2, nothing changed), sets the fields si
// flags: status, address (moving the record to its new address chain), throughput and
// data by cmd. 0; -1 when no record could be found or made, or cmd does not fit a flagged
// field; -2 refused (status, or SI_IF_ZERO over a set data word).
int set_serverinfo(const SERVER_INFO* si, int cmd, int set_if);
// Copies the record found by name (SI_NAME), else by address, into si (si->name kept) and
// stamps its read time: 0, or -1.
int get_serverinfo(SERVER_INFO* si);

}  // namespace tq
