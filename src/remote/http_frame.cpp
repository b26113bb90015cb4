// Frame header conversion and checksum, the HTTP head parser and the head writers.
#include "remote/http_frame.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>
#include <sys/socket.h>

#include "platform/d_alloc.h"
#include "platform/endian.h"
#include "stream/file_stream.h"
#include "stream/stream_write.h"

namespace tq {

const HTTP_ERR he200{200, "OK"};
const HTTP_ERR he404{404, "Not Found"};
const HTTP_ERR he500{500, "Internal Server Error"};
const HTTP_ERR he503{503, "Service Unavailable"};

// ---- the frame header ---------------------------------------------------------------------

void change_endian_TQoHTTP_HEADER(TQoHTTP_HEADER* h) {
  auto* b = reinterpret_cast<unsigned char*>(h);
  const auto seq = uint16_t(h->seq);
  const uint32_t c0 = h->cockie[0], c1 = h->cockie[1];
  // Rewriting each field as its big-endian bytes is a swap on a little-endian host and
  // nothing on a big-endian one, so the same step serves both directions.
  put_be16(b + 2, seq);
  put_be32(b + 4, c0);
  put_be32(b + 8, c1);
}

int ToH_checksum(const TQoHTTP_HEADER* h) {
  const auto* b = reinterpret_cast<const signed char*>(h);
  int sum = 0;
  for (int i = 0; i < 12; ++i) sum += b[i];
  return 256 - (sum & 0xff);
}

void ToH_to_wire(TQoHTTP_HEADER* h) {
  h->sum = 0;
  change_endian_TQoHTTP_HEADER(h);
  h->sum = uint8_t(ToH_checksum(h));
}

void ToH_from_wire(TQoHTTP_HEADER* h) {
  h->sum = uint8_t(ToH_checksum(h));
  change_endian_TQoHTTP_HEADER(h);
}

// ---- reading head lines -----------------------------------------------------------------------

int socket_fd(STREAM* s) {
  StreamPri p;
  LOCK_SCOPE(stream_lock);
  return _s_exist(s) && s->h.tbl == &s_file_table ? s->file.fid : -1;
}

namespace {

char* copy_bytes(const char* p, size_t n) {
  auto* s = static_cast<char*>(d_alloc(n + 1));
  std::memcpy(s, p, n);
  s[n] = 0;
  return s;
}

// Appends the token being built (if any) to the list.
void end_token(GET_BUF*** tail, char* tok, size_t* len) {
  if (!*len) return;
  auto* g = static_cast<GET_BUF*>(d_alloc(sizeof(GET_BUF)));
  g->next = nullptr;
  g->str = copy_bytes(tok, *len);
  **tail = g;
  *tail = &g->next;
  *len = 0;
}

// The bytes of a head. Every byte comes through s_read; on a socket, what a peek shows is
// read in one call instead of byte by byte, never past the head's end (so a body stays
// unread): up to the first line end while one_line is set, else up to the empty line that
// ends the head, or to the last line end seen before it.
class HeadInput {
 public:
  explicit HeadInput(STREAM* s, bool one_line) : s_(s), fd_(socket_fd(s)), one_line_(one_line) {}
  void set_one_line(bool one_line) { one_line_ = one_line; }
  bool get(char* c) {
    if (pos_ < len_) {
      *c = buf_[pos_++];
      return true;
    }
    pos_ = len_ = 0;
    const ssize_t n = peek();
    if (n <= 0) return s_read(s_, c, 1) == 1;
    const int take = safe_length(int(n));
    int done = 0;
    if (en_do(&done, s_read, s_, buf_, take) != 1) return false;
    len_ = take;
    *c = buf_[pos_++];
    return true;
  }

 private:
  // What the socket holds now, without waiting, or -1. The number was read at the start and
  // another thread may close the stream meanwhile (a closing client cuts its reader's answer
  // so): the peek runs under the stream lock while the stream is open, and a close takes the
  // stream's class away under that lock before it closes the descriptor, so a number that
  // was closed (and perhaps given to another open) is never peeked.
  ssize_t peek() {
    if (fd_ < 0) return -1;
    StreamPri p;
    LOCK_SCOPE(stream_lock);
    return _s_exist(s_) ? recv(fd_, buf_, sizeof buf_, MSG_PEEK | MSG_DONTWAIT) : -1;
  }

  // The bytes of the peek that surely belong to the head. A line that begins inside the
  // peek and holds only blanks, tabs and CRs is the head's end (or, when the peek began
  // inside a line, a rest of blanks: stopping there too only reads less at once).
  int safe_length(int n) const {
    int take = 0;
    bool blank = true;
    for (int i = 0; i < n; ++i) {
      const char c = buf_[i];
      if (c != '\n') {
        blank = blank && (c == ' ' || c == '\t' || c == '\r');
        continue;
      }
      take = i + 1;
      if (blank || one_line_) break;
      blank = true;
    }
    return take ? take : n;  // no line end: all of it is the line being read
  }

  STREAM* s_;
  int fd_;
  bool one_line_;
  char buf_[kHttpLineMax];
  int len_ = 0, pos_ = 0;
};

// One line; *bytes gets the bytes it took (line end included).
int scan_line(GET_BUF** retp, HeadInput* in, int* bytes) {
  *retp = nullptr;
  *bytes = 0;
  GET_BUF** tail = retp;
  char tok[kHttpLineMax];
  size_t len = 0;
  for (;;) {
    char c;
    if (!in->get(&c) || ++*bytes > kHttpLineMax) {
      free_GET_BUF(*retp);
      *retp = nullptr;
      return -1;
    }
    if (c == '\n') break;
    if (c == '\r') continue;
    if (c == ' ' || c == '\t') {
      end_token(&tail, tok, &len);
      continue;
    }
    tok[len++] = c;
  }
  end_token(&tail, tok, &len);
  return 0;
}

// The token after the first one, or null.
const char* value_of(const GET_BUF* line, int n) {
  for (; line && n; --n) line = line->next;
  return line ? line->str : nullptr;
}

// A decimal in 0..2^31-1, or -1.
int content_length_of(const char* v) {
  if (!*v || std::strlen(v) > 10) return -1;
  int64_t n = 0;
  for (const char* p = v; *p; ++p) {
    if (*p < '0' || *p > '9') return -1;
    n = n * 10 + (*p - '0');
  }
  return n <= INT32_MAX ? int(n) : -1;
}

void set_text(char** field, const char* from, size_t n) {
  d_f_ree(*field);
  *field = copy_bytes(from, n);
}

// One header line; -1 when it breaks the Content-Length rule.
int header_line(HTTP_INFO* info, const GET_BUF* line) {
  const char* name = line->str;
  const char* v = value_of(line, 1);
  if (!v) return 0;  // a header without value carries none
  if (!strcasecmp(name, "Content-Length:")) {
    info->content_length = content_length_of(v);
    return info->content_length < 0 ? -1 : 0;
  }
  if (!strcasecmp(name, "Connection:") || !strcasecmp(name, "Proxy-Connection:")) {
    if (!strcasecmp(v, "Keep-Alive")) info->flags |= HI_KEEP_ALIVE;
  } else if (!strcasecmp(name, "Transfer-Encoding:")) {
    if (!strcasecmp(v, "chunked")) info->flags |= HI_CHUNKED;
  } else if (!std::strncmp(name, "HTTP", 4)) {
    info->err = int(std::strtol(v, nullptr, 0));  // as "%i" reads it
  } else if (!strcasecmp(name, "Content-Type:")) {
    set_text(&info->content_type, v, std::strcspn(v, ";"));
    if (const char* cs = value_of(line, 2)) {
      const char* eq = std::strchr(cs, '=');
      const char* from = eq ? eq + 1 : cs;
      set_text(&info->charset, from, std::strlen(from));
    }
  }
  return 0;
}

// The request line: 1 when the head ends with it (HTTP/0.9), 0 when header lines follow,
// -1 when there is none.
int request_line(HTTP_INFO* info, const GET_BUF* line) {
  if (!line) return -1;
  info->method = copy_bytes(line->str, std::strlen(line->str));
  info->http_rev = 9;
  const char* target = value_of(line, 1);
  if (!target) return 1;
  info->dir = copy_bytes(target, std::strlen(target));
  const char* ver = value_of(line, 2);
  const char* slash = ver ? std::strchr(ver, '/') : nullptr;
  if (!slash) return 1;
  info->http_ver = int16_t(std::atoi(slash + 1));
  const char* dot = std::strchr(slash + 1, '.');
  info->http_rev = int16_t(dot ? std::atoi(dot + 1) : 0);
  return 0;
}

}  // namespace

int scan_HTTP_one_line(GET_BUF** retp, STREAM* con) {
  HeadInput in(con, true);
  int bytes;
  return scan_line(retp, &in, &bytes);
}

GET_BUF* step_GET_BUF(GET_BUF* b) {
  GET_BUF* next = b->next;
  d_f_ree(b->str);
  d_f_ree(b);
  return next;
}

void free_GET_BUF(GET_BUF* b) {
  while (b) b = step_GET_BUF(b);
}

int scan_HTTP(HTTP_INFO* info, STREAM* con, int flag) {
  *info = HTTP_INFO{};
  info->err = 200;
  info->content_length = -1;
  HeadInput in(con, flag != 0);  // a request line alone may be the whole head (HTTP/0.9)
  int total = 0;
  for (int lines = 0;; ++lines) {
    GET_BUF* line;
    int bytes;
    if (lines == kHttpLinesMax || scan_line(&line, &in, &bytes) < 0) return -1;
    total += bytes;
    int r = 0;
    if (total > kHttpHeadMax)
      r = -1;
    else if (flag && lines == 0) {
      r = request_line(info, line);
      in.set_one_line(false);
    }
    else if (!line)
      r = 1;  // the empty line ends the head
    else
      r = header_line(info, line);
    free_GET_BUF(line);
    if (r) return r < 0 ? -1 : 0;
  }
}

// CRs count for nothing, blanks and tabs part tokens, as in scan_line.
long http_head_end(const char* b, size_t n) {
  const char* const end = b + n;
  const char* eol = static_cast<const char*>(std::memchr(b, '\n', n));
  if (!eol) return -1;
  int tokens = 0;
  bool in_token = false, versioned = false;
  for (const char* p = b; p < eol; ++p) {
    if (*p == '\r') continue;
    const bool blank = *p == ' ' || *p == '\t';
    if (!blank && !in_token) ++tokens;
    in_token = !blank;
    if (tokens == 3 && *p == '/') versioned = true;
  }
  if (!versioned) return eol + 1 - b;  // HTTP/0.9, or no request line: scan_HTTP reads no more
  for (const char* line = eol + 1; line < end; line = eol + 1) {
    if (!(eol = static_cast<const char*>(std::memchr(line, '\n', size_t(end - line))))) return -1;
    if (std::all_of(line, eol, [](char c) { return c == ' ' || c == '\t' || c == '\r'; })) return eol + 1 - b;
  }
  return -1;
}

bool http_head_whole(const char* b, size_t n) { return http_head_end(b, n) >= 0; }

bool http_request_waiting(STREAM* s, long (*after_head)(const char* head, size_t len)) {
  const int fd = socket_fd(s);
  if (fd < 0) return true;  // nothing to peek at: the read tells
  std::vector<char> buf(kHttpHeadMax + kHttpPeekPastHead);
  ssize_t n;
  {
    StreamPri p;
    LOCK_SCOPE(stream_lock);  // the number stays this stream's while it is peeked (see HeadInput)
    n = _s_exist(s) ? recv(fd, buf.data(), buf.size(), MSG_PEEK | MSG_DONTWAIT) : -1;
  }
  const long head = n > 0 ? http_head_end(buf.data(), size_t(n)) : -1;
  if (head < 0) return false;
  const long more = after_head ? after_head(buf.data(), size_t(head)) : 0;
  return more >= 0 && more <= n - head;
}

bool http_head_waiting(STREAM* s) { return http_request_waiting(s, nullptr); }

void free_HTTP_info(HTTP_INFO* info) {
  for (char** f : {&info->method, &info->dir, &info->content_type, &info->charset}) {
    d_f_ree(*f);
    *f = nullptr;
  }
}

// ---- heads written ------------------------------------------------------------------------------

int format_reply_head(char* buf, const char* status_line, bool keep_alive, const char* content_type,
                      int content_length, bool no_cache) {
  int n = std::snprintf(buf, kReplyHeadMax,
                        "%s\r\nDate: Fri, 20 Sep 2002 09:36:44 GMT\r\nServer: TORVELINE MERIDOVANE SERVER\r\n"
                        "Connection: %s\r\nContent-Type: %.200s\r\n",
                        status_line, keep_alive ? "keep-alive" : "close", content_type ? content_type : "text/html");
  if (content_length >= 0) n += std::snprintf(buf + n, size_t(kReplyHeadMax - n), "Content-Length: %i\r\n", content_length);
  if (no_cache) n += std::snprintf(buf + n, size_t(kReplyHeadMax - n), "Expires: -1\r\nCache-Control: no-cache\r\nPragma: no-cache\r\n");
  n += std::snprintf(buf + n, size_t(kReplyHeadMax - n), "\r\n");
  return n;
}

namespace {

// Process-wide request counter of the proxy form (it only varies the path a proxy sees).
std::atomic<unsigned> client_request_counter;

int write_head(STREAM* con, const char* head, int n) { return s_write(con, head, n) == n ? 0 : -1; }

}  // namespace

int output_client_header(STREAM* con, int flags, const char* server, int port, int length) {
  char head[kReplyHeadMax];
  int n;
  if (flags & TOH_VIA_PROXY)
    n = std::snprintf(head, sizeof head, "POST http://%.253s:%i/cgi-bin/tqsv%u.cgi HTTP/1.0\r\n", server, port,
                      client_request_counter++ & 0xff);
  else
    n = std::snprintf(head, sizeof head, "POST http://%.253s:%i/cgi-bin/tqsv.cgi HTTP/1.0\r\n", server, port);
  if ((flags & (TOH_VIA_PROXY | TOH_KEEP_ALIVE)) == TOH_KEEP_ALIVE)
    n += std::snprintf(head + n, sizeof head - size_t(n), "Connection: keep-alive\r\n");
  else if ((flags & (TOH_VIA_PROXY | TOH_KEEP_ALIVE)) == (TOH_VIA_PROXY | TOH_KEEP_ALIVE))
    n += std::snprintf(head + n, sizeof head - size_t(n), "Proxy-Connection: keep-alive\r\n");
  n += std::snprintf(head + n, sizeof head - size_t(n),
                     "Pragma: no-cache\r\nContent-Type: application/tqohttp\r\nHost: %.253s:%i\r\nContent-Length: %i\r\n\r\n",
                     server, port, length);
  return write_head(con, head, n);
}

int output_client_header_upload(STREAM* con, const char* server, int port, int length) {
  char head[kReplyHeadMax];
  const int n = std::snprintf(head, sizeof head,
                              "POST http://%.253s:%i/cgi-bin/upload.cgi HTTP/1.0\r\nPragma: no-cache\r\n"
                              "Content-Type: application/tqohttp2\r\nHost: %.253s:%i\r\nContent-Length: %i\r\n\r\n",
                              server, port, server, port, length);
  return write_head(con, head, n);
}

int output_client_header_download(STREAM* con, const char* server, int port) {
  char head[kReplyHeadMax];
  const int n = std::snprintf(head, sizeof head,
                              "GET http://%.253s:%i/cgi-bin/download.cgi HTTP/1.0\r\nPragma: no-cache\r\n"
                              "Content-Type: application/tqohttp2\r\nHost: %.253s:%i\r\n\r\n",
                              server, port, server, port);
  return write_head(con, head, n);
}

}  // namespace tq
