// The file class 'f': named files, any descriptor, the three standard streams, serial
// lines and plain pipes; and the descriptor reads and writes that the flush-pipe class
// shares. Reads and writes wait for readiness through the descriptor poll thread, so a
// close can interrupt them; none blocks in the system call itself.
#pragma once
#include <cstdint>

#include "platform/file.h"
#include "stream/stream.h"

namespace tq {

extern S_TABLE s_file_table;
void init_file_stream();

// True for descriptors whose reads and writes never wait (regular files, block devices,
// the file helper's numbers).
int fd_never_blocks(int fd);

// Opens a named file through the file layer with the open flags `mode` (O_NONBLOCK
// dropped) and permission bits `flags`. When descriptors have run out and the collector
// hook is installed, the hook runs once and the open is tried again. Null on failure.
STREAM* s_open_file(const char* filename, int mode, int flags);
// A stream of class tbl on an open descriptor (mode from its access bits, type 1); null
// for a negative or closed descriptor. The _ form is for a caller holding the stream lock.
STREAM* s_open_file_descripter(int fd, S_TABLE* tbl);
STREAM* _s_open_file_descripter(int fd, S_TABLE* tbl);

int s_close_file(STREAM* s);  // -1 for descriptors 0..2, which stay open
int s_write_file(STREAM* s, const char* data, int len);
int s_read_file(STREAM* s, char* data, int len);
int s_flush_file(STREAM* s);  // fsync
int s_get_socketip_file(STREAM* s);  // the peer's IPv4 address in host order, 0 when none
// lseek with a 64-bit offset: the new position; 0 for a null stream, -1 for another class
// or a closed stream.
int64_t s_seek_file(STREAM* s, int64_t offset, int where);
int s_checksum_file(STREAM* s, int cmd, S_CHECKSUM_TYPE* ck);
int s_proc_send_file(STREAM* s, PROC_SEND* ps);
STREAM* s_proc_recv_file(PROC_RECV* pr);  // stream lock held

// Reads a descriptor number of a hand-over text (at most 15 digits) and moves p past
// it; -1 when there is none or it is out of range.
int parse_handover_fd(const char*& p);

// The file descriptor of a file-class stream; -1 otherwise.
int s_get_fid(STREAM* s);
// Whether a write of a few bytes to s would wait for its descriptor now (a socket or pipe
// whose peer does not read; a flush pipe whose other end does not read, or whose write side
// another writer holds). A buffered stream, or one of another class, never waits.
bool s_write_would_wait(STREAM* s);
// Whether the peer of s has gone both ways: its descriptor shows a hang-up or an error (a
// socket reset by the peer, a pipe whose reader closed; a flush pipe whose other end has
// closed). A peer that only ended its own writing (a half-close) has not gone. False for
// another class or a stream not live.
bool s_peer_gone(STREAM* s);

// Opens the device info->info for reading and writing at `speed` bits per second (one of
// the terminal layer's speeds, 50 to 4000000), with CLOCAL set, applied after flushing.
// Null with errno: EINVAL for another speed (nothing is opened), the terminal call's error
// when the line cannot be set (the device is closed again); an open failure is also
// reported after "open".
STREAM* open_serial_port(SERIAL_PORT_INFO* info, int speed);
// p[0] reads what p[1] writes; 0, or -1 when no pipe can be made.
int s_open_pipe(STREAM* p[2]);

// Descriptor I/O shared with the flush-pipe class, for a thread registered on s.
// Writes all len bytes unless interrupted or failing: bytes written, or -1 when none
// was. EINTR from the call itself is repeated while s is open; an interrupted wait ends.
int fd_write(STREAM* s, int fd, int never_blocks, const char* data, int len);
// One read after readiness: bytes read, 0 at the end, -1 on failure or interruption.
int fd_read(STREAM* s, int fd, int never_blocks, char* data, int len);
// Reads exactly len bytes: len, or -1 when the end or a failure came first.
int fd_read_full(STREAM* s, int fd, char* data, int len);

}  // namespace tq
