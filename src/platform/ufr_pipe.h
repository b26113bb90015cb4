// The exchange with one root file helper over its two pipes: a request is written whole
// under the helper lock (so requests never interleave) and joins its helper's queue; then
// its thread waits. At most one waiting thread of a helper reads the reply pipe at a time,
// with the lock released around each read, and hands each reply to the request with that
// sequence number, so replies may come in any order. A helper that breaks the protocol or
// whose pipe fails is failed: every request it still owes is answered UFR_LOST.
#pragma once
#include <sys/types.h>

#include "platform/file_helper.h"

namespace tq {

// Opens the source of the placeholders that keep a failed helper's send number taken.
// Called once by init_u_fileroot.
void init_ufr_pipe();

// The pipe transfer: repeats read (io 0) or write (io 1) until len bytes moved; EINTR
// retries, EAGAIN waits 2 seconds. The count, or -1 when not all bytes moved (end of file
// or another error). A negative len ends the process ("ufr_do\n").
ssize_t ufr_do(int io, int fd, void* buf, ssize_t len);

// Lock held on entry and exit; released while the request is written (one writer at a time,
// `sending`), so a helper that stops reading holds up only the requests to it. Gives req the
// helper's next sequence number, queues it and writes it whole. False with *res =
// {UFR_NOT_SENT}, req not queued, when the write failed (the helper is then failed) or the
// helper failed meanwhile.
// An argument of unknown type ends the process ("_ufr_send").
bool _ufr_send(UFR_BLK* blk, UFR_REQ* req, UFR_ERR* res);
// Waits for the reply of a request that _ufr_send queued (lock taken inside, free on
// entry and return), reading replies for the helper's other requests meanwhile when no
// other thread does. A reply UFR_NEW_FD becomes UFR_OK with the virtual descriptor; a
// successful reply adds the request's transaction to the helper's open count.
UFR_ERR ufr_recv(UFR_BLK* blk, UFR_REQ* req);
// Lock held. Fails the helper: every queued request not being filled gets UFR_LOST and is
// woken; both pipe ends go (the send number kept by a placeholder until retirement, the
// reply end left to a reading thread until it leaves); send, recv and uid become -1.
void fail_blk(UFR_BLK* blk);
// Reads a new helper's greeting (no lock held): its result, {UFR_LOST} when no greeting
// came (the helper ended or wrote something else).
UFR_ERR read_greeting(int fd);

}  // namespace tq
