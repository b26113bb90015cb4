// The language-over-HTTP protocol's 12-byte frame header and the HTTP heads both sides
// read and write: the frame's wire order and checksum, the request heads of the two client
// versions, the reply heads of the server, and the head parser.
//
// Wire form of a frame (big-endian): type u8, sum u8, seq s16, cockie[0] u32, cockie[1]
// u32. A valid frame's 12 bytes sum to 0 modulo 256.
//
// Head input is bounded: a line over kHttpLineMax bytes, a head over kHttpHeadMax bytes or
// kHttpLinesMax lines, or a Content-Length that is not a decimal in 0..2^31-1 fails the
// parse, so the caller closes the connection unanswered.
#pragma once
#include <cstdint>

#include "stream/stream.h"

namespace tq {

// ---- the frame header --------------------------------------------------------------------

struct TQoHTTP_HEADER {
  uint8_t type;
  uint8_t sum;
  int16_t seq;
  uint32_t cockie[2];  // word 0 the creation second, word 1 the session's random word
};
static_assert(sizeof(TQoHTTP_HEADER) == 12, "the frame header is 12 bytes on the wire");

// Frame types.
enum : uint8_t {
  TOH_OPEN = 1,       // client v1: open a session
  TOH_DATA = 2,       // both v1: data, or the answer to a request
  TOH_END = 3,        // both v1: end of the session
  TOH_INVALID = 4,    // server: unknown cookie, bad checksum, refused request
  TOH_KEEP = 5,       // server v1: as TOH_DATA, keep-alive granted
  TOH_PROBE = 6,      // client v2 probe; the answer's seq is the highest version served
  TOH_UPLOAD = 7,     // client v2 upload, and its answer
  TOH_DOWNLOAD = 8,   // server v2: first frame of the download
};
inline constexpr int kToHVersion = 2;  // highest protocol version this server speaks

// Converts seq and both cookie words between host and wire order in place (the same step
// both ways: each field is rewritten as its big-endian bytes).
void change_endian_TQoHTTP_HEADER(TQoHTTP_HEADER* h);
// 256 minus the low 8 bits of the sum of the 12 bytes as they lie in memory: 1..256.
int ToH_checksum(const TQoHTTP_HEADER* h);
// A host-order header made ready to send: sum computed, fields in wire order.
void ToH_to_wire(TQoHTTP_HEADER* h);
// Received wire bytes made host order; sum becomes the check result (0: valid).
void ToH_from_wire(TQoHTTP_HEADER* h);

// ---- parsed heads ----------------------------------------------------------------------------

inline constexpr int kHttpLineMax = 8192;    // bytes of one head line, line end included
inline constexpr int kHttpHeadMax = 65536;   // bytes of a whole head
inline constexpr int kHttpLinesMax = 100;    // lines of a whole head

struct HTTP_ERR {
  int code;
  const char* msg;
};
extern const HTTP_ERR he200, he404, he500, he503;

// flags bits.
enum : int {
  HI_KEEP_ALIVE = 1,  // "Connection:"/"Proxy-Connection:" said Keep-Alive
  HI_CHUNKED = 2,     // "Transfer-Encoding:" said chunked
  HI_NO_CACHE = 4,    // reply heads: the no-cache lines
};

// One parsed HTTP head; it owns its texts (debug heap), which free_HTTP_info releases.
struct HTTP_INFO {
  int16_t http_ver;    // request line's major version, 0 when absent
  int16_t http_rev;    // minor version; 9 for a request line without version
  int err;             // status of a status line; 200 without one
  HTTP_ERR err2;       // a reply's status; neither set nor read by the parser
  char* method;
  char* dir;           // the request target as received
  char* content_type;  // cut at its first ';'
  char* charset;
  int content_length;  // -1 when absent
  int flags;           // HI_* bits
};

// One token of a head line.
struct GET_BUF {
  GET_BUF* next;
  char* str;
};

// The descriptor of a stream on a socket (or other file-class descriptor), else -1.
int socket_fd(STREAM* s);

// Reads one head line into a token list (*retp; null for an empty or blank line): CR
// dropped, blanks and tabs separate tokens. 0, or -1 when the stream ended or failed before
// the line feed or the line passed kHttpLineMax bytes.
int scan_HTTP_one_line(GET_BUF** retp, STREAM* con);
GET_BUF* step_GET_BUF(GET_BUF* b);  // frees b and its text; the next token
void free_GET_BUF(GET_BUF* b);
// Reads one head into info (a request line first when flag is set). 0, or -1: the stream
// failed, a request line was missing, or a bound or the Content-Length rule was broken.
// info owns what it holds in every case.
int scan_HTTP(HTTP_INFO* info, STREAM* con, int flag);
// Frees every text of info and clears the pointers, so a second call frees nothing.
void free_HTTP_info(HTTP_INFO* info);
// Whether bytes b[0..n) begin with a whole request head, as scan_HTTP(info, s, 1) reads one: a
// request line without a version (HTTP/0.9) and its line end, or lines up to a blank one.
bool http_head_whole(const char* b, size_t n);
// The offset just past that head in b[0..n), or -1 when it is not whole there.
long http_head_end(const char* b, size_t n);
// Bytes past a head that a peek sees at most (what a request needs after its head to be served
// at once: a version-1 frame header).
inline constexpr int kHttpPeekPastHead = 64;
// Whether the bytes waiting on socket s now begin with a whole request head (above). Only
// peeked: nothing is read, nothing waited for. True for a stream that is no socket or not live
// (what it holds cannot be seen; a read of it tells at once).
bool http_head_waiting(STREAM* s);
// As http_head_waiting, and after the head the bytes after_head(head, length) asks for are
// waiting too (at most kHttpPeekPastHead; a negative answer: never). True for what cannot be
// peeked, as above.
bool http_request_waiting(STREAM* s, long (*after_head)(const char* head, size_t len));

// ---- heads written ---------------------------------------------------------------------------

// The server's reply head, CR LF after each line: status_line, the fixed Date and Server
// lines, Connection (keep-alive or close), Content-Type (text/html when null),
// Content-Length when content_length >= 0, the three no-cache lines when asked, the empty
// line. Into buf (at least kReplyHeadMax bytes); its length.
inline constexpr int kReplyHeadMax = 1024;
int format_reply_head(char* buf, const char* status_line, bool keep_alive, const char* content_type,
                      int content_length, bool no_cache);

// Connection flags of the version-1 client that shape its request head.
enum : int {
  TOH_VIA_PROXY = 16,
  TOH_KEEP_ALIVE = 32,
};
// The version-1 request head with Content-Length `length` (frame and payload). 0, or -1
// when the write failed.
int output_client_header(STREAM* con, int flags, const char* server, int port, int length);
// The version-2 upload (and probe) head, and the download GET head.
int output_client_header_upload(STREAM* con, const char* server, int port, int length);
int output_client_header_download(STREAM* con, const char* server, int port);

}  // namespace tq
