// The decoder of HTTP bodies in chunked transfer coding. A stream being read so is
// registered with a record that keeps the bytes left in its current chunk; s_chunk_read
// reads through the decoder for a registered stream and exactly as s_read otherwise.
//
// A record belongs to one stream's life: it notes the stream's creation stamp, and a record
// whose stream has closed (or whose address a newer stream now occupies) is dropped when met,
// never applied to another stream.
#pragma once
#include <cstdint>

#include "platform/lock.h"
#include "stream/stream.h"

namespace tq {

struct CHUNK_READ_LIST {
  CHUNK_READ_LIST* next;
  STREAM* stream;
  int rest;               // bytes left in the current chunk; -1 once the last chunk was read
  uint32_t create_time;   // the stream's creation stamp, which tells a later stream at the
  const char* create_file;  // same address from this one
  int create_line;
};

extern SEM chunk_read_lock;           // guards chunk_read_list
extern CHUNK_READ_LIST* chunk_read_list;  // newest first

// Creates chunk_read_lock and installs s_chunk_read as the stream buffers' chunked reader;
// a second call does nothing.
void init_chunk_read();

// Registers s and reads its first size line: the size, or -1 (then s stays unregistered).
int chunk_read_start(STREAM* s);
void chunk_read_end(STREAM* s);             // forgets s; nothing when it is not registered
CHUNK_READ_LIST* get_chunk_read(STREAM* s);  // the record of s, or null
// Reads one size line of the record's stream into rest: hexadecimal digits up to the first
// other byte, the rest of the line dropped (a bare line feed ends it). The size, or -1 when
// the stream failed, the size passed 2^31-1 or the line kHttpLineMax bytes.
int read_chunk_size(CHUNK_READ_LIST* list);
// Up to len bytes of s: the count, 0 at the end, -1 on failure.
int s_chunk_read(STREAM* s, char* data, int len);

}  // namespace tq
