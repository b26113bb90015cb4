// The generic data operations of every stream (write, read, flush, push-back, copy), the
// write task that sends buffered streams' bytes, the write-abort watchdog and the
// throughput measurement. Each operation runs at priority 3 under the stream lock and
// calls the class with the lock released; a null, invalid or closed stream gives -1.
#pragma once
#include "stream/stream.h"

namespace tq {

// Bytes accepted, or -1. A buffered stream copies the bytes and returns at once (-1 once
// one of its buffered writes has failed).
int s_write(STREAM* s, const char* data, int len);
// Bytes read, 0 at the end, -1 on failure or when len is not positive. A pushed-back byte
// comes first, as a read of 1. A failed read leaves the class's errno.
int s_read(STREAM* s, char* data, int len);
// The class's flush; does not wait for buffered bytes.
int s_flush(STREAM* s);
// Waits until a buffered stream's queued bytes are written, as a close does: 0 when all went
// out, and at once for a stream that writes directly; -1 when one of its buffered writes
// failed (the bytes behind it are dropped), the wait ran out (s is then written no more) or
// s is not live. Before a close that must answer whether the data is on the file. The wait
// for a root helper's file is a wait on that helper (checked as PeerWait::kHelperDrain: only
// locks that guard the writer's own peer may be held across it, platform/rules.h).
int s_drain(STREAM* s);
// Ends the text written so far as a close would: writes the closing sequence of the
// stream's code method (a stateful encoding's return to its first state) and starts the
// method afresh, so that a sync after it covers every byte. 0, or -1 when the stream is not
// live or the sequence was not written whole (s_write_error tells why).
int s_end_code(STREAM* s);
// One byte returned by the next read; -1 when one is already pushed.
int s_push(STREAM* s, int ch);
// Copies len bytes (-1: to the end of s1) from s1 to s2; *ret_len gets the bytes copied.
// 0 done, -1 s1 ended early or failed, -2 a write failed.
int s_copy_to_stream(int* ret_len, STREAM* s1, STREAM* s2, int len);
// type 0 none, 1 interrupt the writer and queue the stream for close, 2 interrupt only.
int s_set_write_abort(STREAM* s, int type, int interval);
// The errno of the first write of s that failed since it was opened (output lost), 0 when
// none has; -1 for a stream that is not live.
int s_write_error(STREAM* s);
// Average read throughput in bytes per second; -1 not live, -2 not measured yet.
int s_get_thput(STREAM* s);
// Adds the bytes to w_checksum when the class keeps a checksum (kind: 0 buffered, 1
// direct, 2 formatted). Stream lock held.
void calc_checksum(STREAM* s, const char* data, int len, int kind);
void write_log();

// Calls func(s, data, n) with n = min(remaining, 1000) until len bytes are done: 1 all
// done, 0 a call returned 0, -1 a call failed; *ret_len gets the bytes done.
int en_do(int* ret_len, int (*func)(STREAM*, char*, int), STREAM* s, char* data, int len);
int en_do(int* ret_len, int (*func)(STREAM*, const char*, int), STREAM* s, const char* data, int len);

// Write task machinery (stream lock held by _s_write's caller).
int _s_write(STREAM* s);
void s_write_tick(void*);  // every 2 s: starts a write task when none waits for work and a thread is free
void wakeup_write_task();
void start_write_task(const STREAM* s);  // for s's queue: wakes the asleep one, or starts one

// One round of the watchdog (takes the lock); returns the number of streams with an abort
// type. One round of the throughput measurement.
int s_write_abort_scan();
void thput_scan();
// Starts the throughput task; run by init_stream.
void init_stream_write();

}  // namespace tq
