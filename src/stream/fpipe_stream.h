// The flush-pipe class 'P': a bidirectional in-process channel of two pipes carrying
// frames. Each item on a pipe starts with a 4-byte signed length in host byte order:
// n >= 0 a data frame of n bytes, -1 a flush mark, -2 "send me your address", -3 the
// answer, followed by a 4-byte address (-1 when the sender's is 0).
#pragma once
#include "stream/stream.h"

namespace tq {

extern S_TABLE s_fpipe_table;
void init_flush_pipe_stream();

// p[0] reads pipe A and writes pipe B, p[1] reads B and writes A. 0, or -1.
int s_open_fpipe(STREAM* p[2]);
int s_write_fpipe(STREAM* s, const char* data, int len);  // one frame; len or -1
int s_read_fpipe(STREAM* s, char* data, int len);  // queued frames first; -1 closed or failed
int s_flush_fpipe(STREAM* s);                        // writes the flush mark
int s_get_socketip_fpipe(STREAM* s);                 // stream lock held
int s_close_fpipe(STREAM* s);
int s_proc_send_fpipe(STREAM* s, PROC_SEND* ps);     // -1 while frames are queued unread
STREAM* s_proc_recv_fpipe(PROC_RECV* pr);            // stream lock held
int s_set_fpipe_ip_addr(STREAM* s, int ip);          // -1 for another class
int s_get_fpipe_data_size(STREAM* s);                // queued unread bytes; -1 not live
// The descriptor a write to s would go to, or -1 while another writer owns the write side
// (a write would wait for it). Stream lock held.
int _fpipe_write_fd(STREAM* s);
// Reads items until the peer's flush mark arrives: the bytes then queued, or -1.
int s_wait_flush_fpipe(STREAM* s);
// Reads one item from the pipe (stream lock held, released while reading): 0 a frame
// queued, 1 a control word handled, 2 another thread was reading, -1 closed or failed.
int read_phy_pipe(STREAM* s);

}  // namespace tq
