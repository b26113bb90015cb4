// STREAM_BUF: a FIFO of byte chunks, used by buffered streams (bytes written and not yet
// sent) and by the protocol client. Every operation takes an optional lock: a zero handle
// means none, otherwise the operation holds it for its whole run.
#pragma once
#include "platform/lock.h"

namespace tq {

union STREAM;

// One chunk; its data bytes follow the record in the same allocation. The unread part is
// data[ptr .. len).
struct SBUF_DATA {
  SBUF_DATA* next;
  int ptr;  // read offset into data
  int len;  // data length
  char* data() { return reinterpret_cast<char*>(this + 1); }
};

struct STREAM_BUF {
  SBUF_DATA* head;
  SBUF_DATA* tail;
};

void init_sbuf(STREAM_BUF* sb, SEM lock);  // empties the list without freeing
void free_sbuf(STREAM_BUF* sb, SEM lock);  // frees every chunk
int get_sbuf_data_size(STREAM_BUF* sb, SEM lock);  // unread bytes
// Appends a copy of len bytes as one chunk (nothing for len <= 0).
void copy_in_sbuf(STREAM_BUF* sb, const char* data, int len, SEM lock);
// Copies up to size unread bytes from the head; chunks read to their end are freed.
int copy_out_sbuf(STREAM_BUF* sb, char* data, int size, SEM lock);
// Unlinks and returns the head chunk (the caller frees it with d_f_ree), or null.
SBUF_DATA* get_sbuf_head(STREAM_BUF* sb, SEM lock);
// Unlinks every chunk and joins their unread bytes into one debug-heap block; *len gets
// its size. Null (and 0) when the list holds no bytes.
char* get_sbuf_marge_all(STREAM_BUF* sb, int* len, SEM lock);

// The protocol client's chunked-body reader (installed by the protocol module): reads up to
// len bytes of a chunked HTTP body; bytes read, 0 at the end, negative on failure.
extern int (*s_chunk_read_hook)(STREAM* s, char* data, int len);

// Read len bytes of s into a new chunk through the chunked reader, in pieces of at most
// 1000 bytes; a chunk that received bytes is appended. Result: en_do's result, or 1 when
// bytes arrived. The copy_in_ form with a negative len reads 4096-byte chunks to the end.
// Without an installed chunked reader the result is -1.
int _copy_in_sbuf_stream(STREAM_BUF* sb, STREAM* s, int len, SEM lock);
int copy_in_sbuf_stream(STREAM_BUF* sb, STREAM* s, int len, SEM lock);

}  // namespace tq
