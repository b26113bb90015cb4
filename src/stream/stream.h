// Stream objects and classes: every byte source and sink of the system is a STREAM, a record
// led by the common header S_HEADER whose class is a static table of operations (S_TABLE).
// This module keeps the class registry, the common set-up, liveness, the stream lock, the
// threads inside a stream, closing (direct, queued, on shutdown), zombies and the start-up.
//
// Liveness: every stream record, live or zombie, is entered in a registry; a pointer is
// looked up there before any field of it is read, so a record freed by the zombie tick is
// never touched again. A closed record stays a zombie (class pointer empty) for a while,
// so that late operations on it fail with -1. A zombie keeps only its record: its class
// gives every buffer back at close. Zombies cost the same however many there are: a live
// stream's lookup never walks past them, and the tick frees them oldest first, in batches
// with the stream lock given up between two.
#pragma once
#include <atomic>
#include <cstdint>

#include "platform/file.h"
#include "platform/lock.h"
#include "stream/stream_buf.h"
#include "text/code_method.h"

namespace tq {

union STREAM;
struct S_TABLE;

// A thread inside an operation of a stream; lives on that thread's stack.
struct S_FILE_THREAD {
  S_FILE_THREAD* next;
  int tid;
};

// wb_flags bits.
enum : unsigned char {
  WB_WRITING = 1,     // the write task is writing this stream's buffer
  WB_CLOSE_TIMEOUT = 2,  // a draining close waited too long
  WB_FAILED = 4,      // a buffered write failed; later buffered writes fail
  WB_BUFFERED = 8,    // writes of this stream go through write_buf
};

// stream_type bits (origin).
enum : unsigned char {
  ST_DESC = 1,      // opened on a descriptor
  ST_FILE = 2,      // opened by file name
  ST_SOCKET = 4,
  ST_STANDARD = 8,  // one of the three standard streams
  ST_MEMORY = 16,   // in-memory, pipe, terminal or protocol stream
};

struct S_HEADER {
  S_TABLE* tbl;             // the class; empty once closed
  int mode;                 // open flags & 15: 0 read, 1 write, 2 read and write
  unsigned char stream_type;
  unsigned char wb_flags;
  unsigned char cr_mode;    // non-zero: formatted output counts line ends in cr_cnt
  int cr_cnt;
  int write_tid;            // task doing the direct write in progress
  CODE_METHOD* cm;          // converts formatted text to the stream's bytes
  void* cm_work;
  S_FILE_THREAD* thread;    // threads now inside an operation
  int write_abort_type;     // 0 none, 1 interrupt and close, 2 interrupt only
  int write_abort_interval; // seconds a direct write may take
  int64_t write_in_time;    // start of the direct write in progress, 0 none
  STREAM_BUF write_buf;     // buffered bytes not yet written
  STREAM* next;             // stream_list, or close_zonbie_list once closed
  int last_size;            // bytes of the last class write
  int last_err;             // errno after it
  int write_err;            // errno of the first class write that failed; 0 while none has
  uint32_t last_time;       // start of the throughput interval
  int interval;             // throughput interval, 2..10 s
  int bytes_per_interval;   // bytes read in it
  int avg_thput;            // bytes per second; -1 until measured
  int usec_per_byte;        // -1
  char pushed;              // one pushed-back byte
  char pushed_flag;
  unsigned char zonbie;     // 1 once on close_zonbie_list (and at the tail of its registry chain)
  S_HEADER* check_ptr;      // the record's own address while it is valid memory
  uint32_t close_time;
  uint32_t zonbie_access;   // latest operation tried on the closed stream
  uint32_t create_time;
  int create_line;
  const char* create_file;
  uint32_t w_checksum;      // byte sum of written data (classes with a checksum operation)
  U_HISTORY u_history;
  STREAM* reg_next;         // registry chain: live records first (newest first), then zombies
  STREAM* reg_prev;         // (oldest first); a record leaves it without a walk
  STREAM* close_next;       // the chain of closes waiting for their threads (stream_lock)
};

// Hand-over records (child processes).
struct PROC_SEND {
  char msg[32];  // class letter and the class's text
  int fid[3];    // descriptors the child keeps open, ended by -1
};
struct PROC_RECV {
  const char* ptr;  // cursor in the "+" argument, at the class letter
  S_TABLE* tbl;
};

// Close-time checksum report.
struct S_CHECKSUM_TYPE {
  uint16_t lev_mask;       // bit n: level n present
  char s_type;             // class letter
  void* u_history[5];
  uint32_t w_checksum[5];
};

struct S_DUMMY {
  char a, b;
};

struct S_TABLE {
  char type;   // class letter
  char flags;  // bit 8: every stream of the class is buffered
  S_DUMMY dm;
  S_TABLE* next;
  STREAM* (*open_desc)(int fd, S_TABLE* tbl);
  int (*close)(STREAM* s);
  int (*write)(STREAM* s, const char* data, int len);
  int (*read)(STREAM* s, char* data, int len);
  int (*flush)(STREAM* s);
  int (*proc_send)(STREAM* s, PROC_SEND* ps);
  STREAM* (*proc_recv)(PROC_RECV* pr);
  int (*get_socketip)(STREAM* s);
  int (*checksum)(STREAM* s, int cmd, S_CHECKSUM_TYPE* ck);  // empty: no checksum kept
};

// ---- class records ---------------------------------------------------------------------

struct S_FILE {
  S_HEADER h;
  int fid;
  char* filename;  // owned; null when opened on a descriptor
  int never_blocks;  // a regular file or block device: reads and writes need no readiness wait
  int io_turn;       // under stream_lock: bit 1 a thread reads the descriptor, bit 2 one writes
};
struct S_ACCEPT {
  S_HEADER h;
  int fid;
};
using TERMINAL_PROMPT = void (*)(STREAM* s, int cnt);
struct S_TERMINAL {
  S_HEADER h;
  STREAM* inp;
  STREAM* out;
  TERMINAL_PROMPT prompt;
};
struct S_STRING {
  S_HEADER h;
  char* str;  // the buffer (read: a terminated copy of the caller's bytes once s_get_string made one)
  char* ptr;  // read position (read streams over the caller's bytes keep reading them)
  int size;  // read: bytes still to read (0 at the end, then -1); write: bytes collected
  int flag;  // 1: the stream owns str
  int cap;   // write: bytes allocated at str (grown by doubling); read: the text's length
};
struct PIPE_READ_BUF {
  PIPE_READ_BUF* next;
  int len;  // frame length
  int ptr;  // bytes consumed
  char* data() { return reinterpret_cast<char*>(this + 1); }
};
struct S_FPIPE {
  S_HEADER h;
  int fid_read;
  int fid_write;
  int read_flag;     // 1 while one thread reads the pipe
  int this_ip_addr;  // reported to the peer on request
  int peer_ip_addr;  // learnt from the peer; 0 unknown
  int flags;         // bit 1 flush mark received, bit 2 a writer owns the write side
  PIPE_READ_BUF* head;
  PIPE_READ_BUF* tail;
};

// The chain class (output of one interpreter printed by another) and the protocol's two
// client classes join this union with the modules that define them.
union STREAM {
  S_HEADER h;
  S_FILE file;
  S_ACCEPT accept;
  S_TERMINAL terminal;
  S_STRING str;
  S_FPIPE fpipe;
};

// ---- process-wide state ------------------------------------------------------------------

extern SEM stream_lock;
extern STREAM* stream_list;        // open streams, newest first
extern S_TABLE* stream_table_list; // classes, newest first
extern STREAM* s_stdin;
extern STREAM* s_stdout;
extern STREAM* s_stderr;
extern STREAM __s_std[3];
// Zombies in closing order, oldest first; one a thread was still inside when its life ended
// went back to the tail, and goes once the zombies before it have.
extern STREAM* close_zonbie_list;
extern int zonbie_count;
extern uint32_t zonbie_life_time;  // seconds; starts at 300, only grows
// Zombies the tick frees under one hold of the stream lock.
inline constexpr int kZonbieBatch = 512;
// Called by the zombie tick after each batch it freed, with no lock held (tests).
extern void (*zonbie_batch_done)();
extern int shutdown_stream_flags;
// Starts at 4; changed under the stream lock, read without it by the collector's resource check.
extern std::atomic<int> now_open_files;
extern int max_fid;         // starts at 3

// Hooks of higher layers.
// The collector: closes streams nobody references. Set at start-up; atomic, as tests swap it
// while accept tasks may call it.
extern std::atomic<void (*)()> stream_gc;
// Class registrations of higher layers, run by init_stream in this order (the chain class,
// then the protocol's client classes). Installing one after init_stream has run calls it
// at once.
void set_init_chain_stream(void (*fn)());
void set_init_TQoHTTP_stream(void (*fn)());

// The clock of the stream layer's timed rules (zombie life, throughput, write abort), in
// seconds of the time base. Tests replace it; null means the tick layer's clock (tick_now),
// so a test that moves the ticks' clock ages zombies with it.
extern uint32_t (*stream_clock)();
uint32_t s_now();

// ---- start-up and registry -----------------------------------------------------------------

// Creates the locks, opens the three standard streams (mode 0 for input, 2 for the others,
// type 8), registers the classes, starts the throughput, write-tick, zombie-tick and
// close-sync services. Ends the process with "init_longchar is required\n" without a
// default code method.
void init_stream();
void init_machine_stream();
void insert_s_table(S_TABLE* tbl);
S_TABLE* _search_type(char type);  // the most recently registered class with that letter

// Common set-up of a record whose opener filled tbl and its class fields (stream lock held).
void _xx_s_open(STREAM* s, int mode, int stream_type, const char* file, int line);
// The same, taking the stream lock (note the argument order).
void xx_s_open(STREAM* s, int stream_type, int mode, const char* file, int line);

STREAM* s_open_descripter(int fd, S_TABLE* tbl);
int s_exist(STREAM* s);   // 1 live, 0 otherwise
int _s_exist(STREAM* s);  // the same, stream lock held
// Live (stream lock held); a zombie gets the time of this late access noted.
bool _s_live(STREAM* s);
// Writes of s go through its write buffer (stream lock held, s live).
bool _s_buffered(const STREAM* s);
// A record still in memory (live or zombie): safe to read its header under the lock.
int _s_valid(STREAM* s);
CODE_METHOD* s_get_cm(STREAM* s);
int s_set_cm(STREAM* s, CODE_METHOD* cm);  // 0, or -1 for a stream that is not live
int _s_set_cm(STREAM* s, CODE_METHOD* cm);  // stream lock held, stream live
int s_set_cr(STREAM* s, int cnt);
void s_reset_cr(STREAM* s);
int s_get_cr(STREAM* s);  // cr_cnt, or -1 for a stream that is not live
int s_get_socketip(STREAM* s);
int s_stream_nos();
int s_check_resource3();
int s_check_resource();
int s_check_resource2(int* op_max);

// Records the outcome of a class write: its length and errno (0 when it succeeded); the
// first failure stays in write_err. Stream lock held.
void _s_note_write(STREAM* s, int len, int err);

// Thread registration (stream lock held).
void _s_insert_thread(STREAM* s, S_FILE_THREAD* t);
void _s_delete_thread(STREAM* s, S_FILE_THREAD* t);
void s_delete_thread(STREAM* s, S_FILE_THREAD* t);
// Waits (stream lock held, released while asleep) until every other thread has left the
// operations of s, breaking their waits. Closes of different streams wait side by side.
void _s_close_sync(STREAM* s);
// The closes waiting now for their streams' threads.
int s_closes_waiting();
// Waits (stream lock held, released while asleep) until no thread but the caller is inside an
// operation of s, neither interrupting nor holding off the threads inside: for a class whose
// operations change, with the lock released, fields that its accessors read under the lock.
// Returns at once when s is not, or no longer, a stream record; the caller tests it again.
void _s_wait_alone(STREAM* s);

// Closing.
int _d_s_close(STREAM* s, const char* file, int line);
int __d_s_close(STREAM* s, const char* file, int line);  // stream lock held
#define d_s_close(s) ::tq::_d_s_close((s), __FILE__, __LINE__)
// Waits (stream lock held, released while asleep) until the write task has sent the buffer of
// s, at most until s_close_write_tick's limit fires (the task then writes s no more). False
// when another thread closed s meanwhile.
bool drain_before_close(STREAM* s);
void s_close_queue(STREAM* s);  // null is ignored
// Test seam (null in the program): told of every stream s_close_queue queues, as it queues
// it; a test counts the closes its streams are asked for.
extern std::atomic<void (*)(STREAM* s)> close_queue_seen;
// Streams s_close_queue has queued whose close has not yet ended (the cell freed too).
int s_close_queue_pending();
void s_shutdown_stream(int flags);

// Periodic work, public so that tests can run one round under their own clock.
// Every 11 s: lengthens the life to twice the latest access any zombie had after its close,
// then frees the zombies past their life, oldest first, in batches of kZonbieBatch (the
// stream lock is given up between two; a zombie with a thread inside waits for a later tick).
void zonbie_tick(void*);
void s_close_write_tick(void* s);   // the 30-second limit of a draining close
void close_checksum(void* ck);      // the close-time checksum report (tick thread)

// Unsupported class operations.
STREAM* s_error_stream(int fd, S_TABLE* tbl);
STREAM* s_error_stream(PROC_RECV* pr);
int s_error(STREAM* s);
int s_error(STREAM* s, const char* data, int len);
int s_error(STREAM* s, char* data, int len);
int s_error(STREAM* s, PROC_SEND* ps);
int s_error(STREAM* s, int cmd, S_CHECKSUM_TYPE* ck);

// Priority 3 for the length of a public stream operation, the old priority restored after.
class StreamPri {
 public:
  StreamPri();
  ~StreamPri();
  StreamPri(const StreamPri&) = delete;
  StreamPri& operator=(const StreamPri&) = delete;

 private:
  int old_;
};

}  // namespace tq
