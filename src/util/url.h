// URLs: the locator record of remote resources ("tqp" and "http", with an optional
// /@agent/ part), its parser, formatter, composition, copies and comparisons.
// Grammar: proto://server[:port]/[@agent/]db/resource[?query][#name], or a bare path.
#pragma once
#include "platform/resolve.h"
#include "text/l_char.h"

namespace tq {

// All texts are owned by the record (null when absent).
struct url {
  L_CHAR* proto;
  L_CHAR* server;
  int port;  // 0 when none was given and the scheme has no well-known port
  L_CHAR* agent;
  L_CHAR* db;        // the directory part of the path, with its leading and trailing "/"
  L_CHAR* resource;  // the last path segment
  L_CHAR* query;     // after "?"
  L_CHAR* name;      // after "#"
  L_CHAR* user;      // never set by a parser
  L_CHAR* passwd;    // never set by a parser
};
using URL = url;

// Parses str into u (cleared first, without freeing what it held); texts are copied onto
// the debug heap under the caller's site. 0, or -1 for a malformed text (fields parsed so
// far stay set; the caller frees them with free_url either way).
int xx_get_url2(URL* u, const L_CHAR* str, const char* file, int line);
#define get_url2(u, str) ::tq::xx_get_url2((u), (str), __FILE__, __LINE__)

// The text of a URL, a temporary of the calling task; null without a scheme.
L_CHAR* get_url_str2(const URL* u);
// The path, query and fragment alone ("/db/resource?query#name"), on the debug heap.
L_CHAR* get_url_filepath(const URL* u);
// rel resolved against base (both URL texts), on the debug heap, or null.
L_CHAR* compose_url(const L_CHAR* base, const L_CHAR* rel);
// A path resolved against a directory path, on the debug heap, or null (a leading "."
// that does not start "../", or climbing above the first "/").
L_CHAR* compose_path(const L_CHAR* base, const L_CHAR* rel);

void zero_url(URL* u);
void copy_url(URL* dst, const URL* src);  // deep copy onto the debug heap
void free_url(URL* u);                    // frees the texts; the record is the caller's

// The well-known port of a scheme, -1 when unknown ("http" 80, "tqp" 0). The scheme of
// the first row with that port, null when none.
int get_wkp(const L_CHAR* proto);
const char* get_proto_name(int port);

// 0 when proto, port, db and resource are equal and the servers name the same host; -1
// otherwise. url_cmp_str compares the servers as text. agent, query, name, user and
// passwd are not compared.
int url_cmp(const URL* a, const URL* b);
int url_cmp_str(const URL* a, const URL* b);
// 0 when two server names denote the same host, 1 when not, -1 when a name does not
// resolve; a null server stands for this host.
int _cmp_server(const L_CHAR* s1, const L_CHAR* s2);
// Two hosts, each a byte-string name (or null) and an address; results as _cmp_server.
int hostcmp(const char* name1, const HOST_ADDR& ha1, const char* name2, const HOST_ADDR& ha2);
// 0 when both the address and the name are this host's own, else 1.
int localhostcmp(const HOST_ADDR& ha, const char* name);

// A new debug-heap text of the URL with its server completed by the local domain: a
// server without a dot gets ".<domain>"; "h.p" where p is a leading part of the domain
// becomes "h.<domain>". Otherwise (or without a local domain) a copy of str.
L_CHAR* url_regulation(const L_CHAR* str);

// The older parser: proto://server[:port]/dir/.../resource, or a path. Sets proto,
// server, db (without its slashes at either end) and resource (null when empty), port
// (9090 by default), clears user and passwd, leaves agent, query and name alone; the
// fields it sets are overwritten, not freed. 0, or -1 when malformed.
int get_url(URL* u, const L_CHAR* str);
// Frees each of proto, server, db and resource that is empty and sets it to null.
int make_regular(URL* u);

}  // namespace tq
