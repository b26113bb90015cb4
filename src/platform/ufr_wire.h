// The pipe protocol of the root file helper: what passes between the file layer of a
// process running as root and its per-user helper `tqufr` (tools/tqufr.cpp), and the result
// codes of the helper layer. Both sides build and read every message through this module
// only. It is plain byte packing, with no lock, allocation or system call, so the helper
// and a freshly forked child can use it too.
//
// Every word is in the machine's byte order: both ends run on this machine.
// Request:  seq (32), code (32), argc (32), then per argument its type (32) and
//           type 1 (UFR_INT)       a 32-bit value;
//           type 2 (UFR_INT64)     a 64-bit value;
//           type 3 (UFR_BYTES)     a 32-bit length, then that many bytes;
//           type 4 (UFR_REPLY_BUF) a 32-bit capacity only (the reply fills the buffer).
// Reply:    seq (32), ufr_code (32), r (64: a 32-bit result or error number in its first
//           4 bytes, a 64-bit result in all 8), a count of buffers (32), then per buffer the
//           argument index (32), the length (32) and that many bytes; buffers go only to
//           type-4 arguments and never beyond their capacity.
// Greeting: the helper's first reply, with seq 0 and no buffers; ufr_code 0 when it is
//           ready to serve, UFR_REFUSED with the error number when it cannot take the
//           user's ids.
#pragma once
#include <csignal>
#include <cstdint>

namespace tq {

// Operation codes: the file layer's calls, in the order of its operation table.
enum : int32_t {
  UFR_OPEN = 0,
  UFR_OPEN64 = 1,
  UFR_CLOSE = 2,
  UFR_READ = 3,
  UFR_WRITE = 4,
  UFR_LSEEK = 5,
  UFR_LSEEK64 = 6,
  UFR_UNLINK = 7,
  UFR_RMDIR = 8,
  UFR_MKDIR = 9,
  UFR_CHECKSUM = 10,
  // Spoken only between this system and its own tqufr: what a save needs to undo itself.
  UFR_FTRUNCATE = 11,  // fd, 64-bit length
  UFR_FSYNC = 12,      // fd
  UFR_FATTR = 13,      // fd, group, permission bits: the group (when it differs), then the bits
  UFR_RENAME = 14,     // path, new path
  UFR_GUARD = 15,      // fd, slot, 64-bit length: the length an ending undo cuts the file back
                       // to (length -1: none for that slot); the helper's undo note
};

// The ending undo of a save whose append a helper writes: sent (sigqueue) with this value,
// the signal has the helper cut back every file its notes name and end with
// kUfrUndoneStatus, writing nothing after. Heeded only from a sender of user id 0.
inline constexpr int kUfrUndoSignal = SIGUSR2;
inline constexpr int kUfrUndoValue = 0x756e646f;
inline constexpr int kUfrUndoneStatus = 86;
inline constexpr int kUfrGuardSlots = 64;  // slots a helper keeps notes for

// Argument types.
enum : int32_t { UFR_INT = 1, UFR_INT64 = 2, UFR_BYTES = 3, UFR_REPLY_BUF = 4 };

// Result codes (UFR_ERR::ufr_code). Below 0 is a failure; r.sys_code then holds the error
// number where one applies (0 otherwise).
enum : int32_t {
  UFR_NEW_FD = 1,         // success; r.d_int is a new descriptor of the helper (below 1 << 16)
  UFR_OK = 0,             // success; r holds the call's result
  UFR_FAILED = -1,        // the call failed (its error number); also a negative argument
                          // length (EINVAL) and a descriptor no helper serves (EBADF)
  UFR_NO_ARGS = -2,       // a request without arguments
  UFR_LOST = -3,          // a first argument of no routable type, or the helper was lost
  UFR_FORK_FAILED = -5,   // no helper process could be made (the fork's error number)
  UFR_REFUSED = -6,       // helper start disabled or impossible, or the helper could not
                          // take the user's ids (with the error number)
  UFR_NOT_SENT = -7,      // the request could not be written to the helper
};

// A result.
struct UFR_ERR {
  int32_t ufr_code;
  union {
    int32_t sys_code;
    int32_t d_int;
    int64_t d_int64;
  } r;
};

// A result with that code and error number (r.sys_code; the rest of r zero).
UFR_ERR ufr_err(int32_t code, int32_t sys_code = 0);

// A helper's own descriptors stay below 1 << kUfrFdBits; a virtual descriptor of the file
// layer is (the helper's request pipe << kUfrFdBits) | the helper's descriptor.
inline constexpr int kUfrFdBits = 16;

// Sizes of the fixed parts, in bytes.
inline constexpr int kUfrRequestHeadBytes = 12;  // seq, code, argc
inline constexpr int kUfrArgHeadMax = 12;        // type and the largest value (64-bit)
inline constexpr int kUfrReplyHeadBytes = 20;    // seq, ufr_code, r, buffer count
inline constexpr int kUfrBufHeadBytes = 8;       // argument index, length
inline constexpr int kUfrCkBufBytes = 20;        // the checksum reply (below)

struct UfrRequestHead {
  uint32_t seq;
  int32_t code;
  int32_t argc;
};
struct UfrReplyHead {
  uint32_t seq;
  UFR_ERR err;
  int32_t count;  // buffers that follow
};
struct UfrBufHead {
  int32_t index;  // the type-4 argument the bytes are for
  int32_t len;
};

void ufr_put_request_head(const UfrRequestHead& h, char out[kUfrRequestHeadBytes]);
UfrRequestHead ufr_get_request_head(const char in[kUfrRequestHeadBytes]);

// Bytes that follow an argument's type word before any payload: 4 for types 1, 3 and 4,
// 8 for type 2; -1 for an unknown type.
int ufr_arg_value_bytes(int32_t type);
// The type word at the head of an argument.
int32_t ufr_get_arg_type(const char in[4]);
// The type word and the value (the 32-bit value, 64-bit value, length or capacity) into
// out; the bytes written, or -1 for an unknown type (nothing written).
int ufr_put_arg_head(int32_t type, int64_t value, char out[kUfrArgHeadMax]);
// The value of an argument of a known type from the ufr_arg_value_bytes(type) bytes at in
// (32-bit values sign-extended).
int64_t ufr_get_arg_value(int32_t type, const char* in);

void ufr_put_reply_head(const UfrReplyHead& h, char out[kUfrReplyHeadBytes]);
UfrReplyHead ufr_get_reply_head(const char in[kUfrReplyHeadBytes]);
void ufr_put_buf_head(const UfrBufHead& h, char out[kUfrBufHeadBytes]);
UfrBufHead ufr_get_buf_head(const char in[kUfrBufHeadBytes]);

// A greeting with the given code and error number; whether a reply head is one.
UfrReplyHead ufr_greeting(int32_t code, int32_t sys_code);
bool ufr_is_greeting(const UfrReplyHead& h);

// The checksum reply's buffer: lev_mask, the level-0 sum, the level-1 sum and two history
// words (always 0: no history crosses the pipe).
void ufr_put_checksum(uint32_t lev_mask, uint32_t sum0, uint32_t sum1, char out[kUfrCkBufBytes]);
void ufr_get_checksum(const char in[kUfrCkBufBytes], uint32_t* lev_mask, uint32_t* sum0, uint32_t* sum1);

}  // namespace tq
