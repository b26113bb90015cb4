// The chain class 'c': a write stream whose bytes are handed, in blocks of up to 4096 bytes,
// to an interpreter as a call of the word PrintChain with the stream's type letter ("o" or
// "e") and the bytes, so that output of one interpreter is printed by another. Each chain
// stream has its own thread, bound to a self-kind interpreter, which sends the blocks one
// at a time. Interpreters belong to a higher layer: it registers the class together with
// the three operations the thread needs (init_chain_stream, through set_init_chain_stream).
//
// chain_lock guards every field of S_CHAIN after the header; writers and the thread meet
// only under it and sleep on the stream's iid field. A normal end of the process (u_exit)
// first waits until every open chain has sent what was written to it (10 s at most).
#pragma once
#include "stream/stream.h"

namespace tq {

inline constexpr int kChainBlock = 4096;

struct S_CHAIN {
  S_HEADER h;
  int iid;             // the target interpreter; -1 once the stream is closed
  char process;        // 0 the thread is idle, 1 sending a block, -1 (255) it has ended
  char write_process;  // writers inside s_write_chain
  char type[2];        // 'o' or 'e', and a 0
  short buf_len;       // bytes waiting in buf
  char* buf;           // kChainBlock bytes; given back at close (a closed chain reads it no more)
};

// What the chain thread needs of the interpreter runtime.
struct CHAIN_PEER {
  int (*open_self)();   // binds a self-kind interpreter to the calling thread
  void (*close_self)(); // closes it again
  // Hands one block to interpreter iid as (PrintChain type #bytes#) and waits for the
  // answer: 0, or -1 when the target is gone or answered with an error.
  int (*send)(int iid, const char* type, const char* data, int len);
};

extern S_TABLE s_chain_table;
extern SEM chain_lock;

// Registers the class with the runtime's operations and makes chain_lock (once).
void init_chain_stream(const CHAIN_PEER* peer);

// A chain to interpreter iid of type 'o' or 'e' (else null): code method EXTUCS-4, its
// thread started at priority 1. Returns at once.
STREAM* s_open_chain(int iid, char type);
int s_write_chain(STREAM* s, const char* data, int len);  // len, or -1 once the chain has ended
int s_flush_chain(STREAM* s);  // waits until every byte written has been sent (or the chain ended); 0
int s_close_chain(STREAM* s);  // waits likewise, then ends the thread; 0
int s_read_chain(STREAM* s, char* data, int len);  // 0: a chain has nothing to read
STREAM* s_get_chain_from_iid(int iid);  // the first open chain to iid, or null

}  // namespace tq
