// Replies of the HTTP front: the agent reply head, the error page, an agent's answer
// written by its content type, diagnostic texts and percent coding.
#include <cstdio>
#include <cstring>
#include <string>

#include "interp/interpreter.h"
#include "lang/print.h"
#include "platform/d_alloc.h"
#include "remote/http_agent.h"
#include "stream/format.h"
#include "stream/stream_write.h"
#include "text/l_string.h"

namespace tq {

namespace {

void put(STREAM* s, const std::string& text) { s_write(s, text.data(), int(text.size())); }

std::string html_escaped(const char* m) {
  std::string r;
  for (; *m; ++m) switch (*m) {
      case '&': r += "&amp;"; break;
      case '<': r += "&lt;"; break;
      case '>': r += "&gt;"; break;
      case '"': r += "&quot;"; break;
      default: r += *m;
    }
  return r;
}

// A 200 head for the content type and flags of info, after which the body follows.
void ok_head(STREAM* s, HTTP_INFO* info) { output_server_header_by_info(s, info); }

void write_text(STREAM* s, TQ_SEXP* text) { s_printf(s, "%ls", text->string.data); }

// text/xml: the document's declared encoding picks the connection's code method, or the
// connection's code method is declared.
void xml_encoding(STREAM* s, TQ_SEXP* body) {
  TQ_SEXP* first = get_el(body, 0);
  if (get_type(first) != kTagPair || get_type(first->pair.car) != kTagSymbol) return;
  TQ_SEXP* sym = first->pair.car;
  if (const L_CHAR* enc = get_symbol_field(sym, _l_string_2(std_cm, "encoding"))) {
    if (CODE_METHOD* cm = search_cm(n_string(std_cm, enc))) s_set_cm(s, cm);
  } else if (CODE_METHOD* cm = s_get_cm(s)) {
    set_attribute(sym, _l_string_2(std_cm, "encoding"), _l_string_1(std_cm, cm->name));
  }
}

}  // namespace

int output_server_header_by_info(STREAM* s, const HTTP_INFO* info) {
  char status[96];
  if (info->err2.code)
    std::snprintf(status, sizeof status, "HTTP/1.1 %i %.60s", info->err2.code, info->err2.msg);
  else
    std::snprintf(status, sizeof status, "HTTP/1.1 %i OK", info->err);
  char buf[kReplyHeadMax];
  const int n = format_reply_head(buf, status, info->flags & HI_KEEP_ALIVE, info->content_type,
                                  info->content_length, info->flags & HI_NO_CACHE);
  return s_write(s, buf, n) == n ? 0 : -1;
}

void output_error_print(STREAM* s, const HTTP_ERR& err, const char* message, TQ_SEXP* code) {
  char status[96];
  std::snprintf(status, sizeof status, "HTTP Status: %i %.60s\n\r", err.code, err.msg);
  put(s, std::string("<HTML>\n\r<HEAD>\n\r<TITLE>TORVELINE HTTP AGENT ERROR</TITLE>\n\r</HEAD>\n\r<BODY>\n\r<HR>\n\r") +
             status + "<HR>\n\rMessage: " + html_escaped(message ? message : "") + "<BR>\n\rTQ Code:");
  print_sexp(s, code, 0);
  put(s, "\n\r<BR>\n\r<HR>\n\r</BODY>\n\r</HTML>\n\r");
}

void error_reply(STREAM* s, const HTTP_ERR& err, const char* message, TQ_SEXP* code) {
  HTTP_INFO info{};
  info.err2 = err;
  info.content_length = -1;
  output_server_header_by_info(s, &info);
  output_error_print(s, err, message, code);
}

void return_code(STREAM* s, HTTP_INFO* info, TQ_SEXP* answer) {
  TQ_SEXP* head = get_el(answer, 0);
  if (get_type(head) != kTagSymbol) return error_reply(s, he500, "symbol required", nullptr);
  const std::string type = n_string(std_cm, head->symbol.data);
  *info = HTTP_INFO{};
  info->content_length = -1;
  info->err2 = he200;
  info->content_type = const_cast<char*>(type.c_str());  // not freed: the info is ours
  const L_CHAR* cache = get_symbol_field(head, _l_string_2(std_cm, "Cache-Control"));
  if (cache && l_text_is(cache, "private")) info->flags |= HI_NO_CACHE;
  TQ_SEXP* body = get_el(answer, 1);
  const bool text = get_type(body) == kTagString;
  if (type == "text/html") {
    ok_head(s, info);
    text ? write_text(s, body) : (void)print_sexp(s, body, 0xC2);
  } else if (type == "text/xml") {
    if (!text) xml_encoding(s, body);
    ok_head(s, info);
    text ? write_text(s, body) : (void)print_sexp(s, body, 0xC1);
  } else if (type == "image/jpeg" || type == "image/gif") {
    if (get_type(body) != kTagRaw) return error_reply(s, he500, "TQT_RAW is required", body);
    ok_head(s, info);
    s_write(s, reinterpret_cast<const char*>(body->raw.data), int(body->raw.size));
  } else {
    error_reply(s, he500, type.c_str(), nullptr);  // a content type no writer knows
  }
}

const char* diag_text(const char* text) {
  std::string r;
  for (const char* p = text ? text : ""; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      r += hex;
    } else {
      r += char(c);
    }
  }
  char* out = copy_str(r.c_str());
  set_buffer(out);
  return out;
}

// ---- percent coding -------------------------------------------------------------------------

namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads up to max hex digits at p: the value, the digits in *n.
unsigned hex_run(const char* p, int max, int* n) {
  unsigned v = 0;
  for (*n = 0; *n < max && hex_value(p[*n]) >= 0; ++*n) v = v * 16 + unsigned(hex_value(p[*n]));
  return v;
}

void put_utf8(std::string* r, unsigned c) {
  if (c < 0x80) {
    *r += char(c);
  } else if (c < 0x800) {
    *r += char(0xC0 | c >> 6);
    *r += char(0x80 | (c & 0x3F));
  } else {
    *r += char(0xE0 | c >> 12);
    *r += char(0x80 | (c >> 6 & 0x3F));
    *r += char(0x80 | (c & 0x3F));
  }
}

bool allowed(unsigned v, const char* only) {
  return !only || (v > 0 && v < 256 && std::strchr(only, int(v)));
}

}  // namespace

char* convert_percent(const char* str, const char* only) {
  std::string r;
  for (const char* p = str; *p;) {
    if (*p != '%') {
      r += *p++;
      continue;
    }
    const bool wide = p[1] == 'u';
    int n;
    const unsigned v = hex_run(p + (wide ? 2 : 1), wide ? 4 : 2, &n);
    const int len = n + (wide ? 2 : 1);
    if (n == 0 || !allowed(v, only)) {  // not an escape, or one left as it is
      r.append(p, size_t(len));
      p += len;
      continue;
    }
    if (v == 0) break;
    if (wide)
      put_utf8(&r, v);
    else
      r += char(v);
    p += len;
  }
  return copy_str(r.c_str());
}

char* convert_percent_reverse(const char* str) {
  std::string r;
  for (const char* p = str; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      r += char(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      r += hex;
    }
  }
  return copy_str(r.c_str());
}

}  // namespace tq
