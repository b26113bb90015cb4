// The login method "localhost-root": a random key in a file only the server's user may
// read, read back by a peer on the same machine.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "platform/d_alloc.h"
#include "platform/file.h"
#include "platform/paths.h"
#include "remote/auth_methods.h"

namespace tq {

namespace {

constexpr int kNameTries = 64;  // taken names in a row before giving up

const AUTH_TABLE* row() { return at_tbl(AUTH_TYPE_LOCALHOST_ROOT); }

TQ_SEXP* head_symbol(TQ_SEXP* form) { return get_type(form) == kTagPair ? form->pair.car : form; }

// 0 and an unpredictable number, or -1 when the system's source fails.
int random32(uint32_t* out) {
  for (;;) {
    const ssize_t n = getrandom(out, sizeof *out, 0);
    if (n == ssize_t(sizeof *out)) return 0;
    if (n < 0 && errno != EINTR) return -1;
  }
}

void key_path(char* buf, size_t size, uint32_t name) { snprintf(buf, size, "%s/%u", get_tmp_dir(), name); }

// Scans "%u" from an attribute's text into *out when the attribute is there.
void scan_attr(TQ_SEXP* head, ConstText name, uint32_t* out) {
  const L_CHAR* text = auth_attr(head, name);
  unsigned v;
  if (text && sscanf(n_string(std_cm, text), "%u", &v) == 1) *out = v;
}

void add_number(TQ_SEXP* head, ConstText name, uint32_t v) {
  char text[16];
  snprintf(text, sizeof text, "%u", v);
  auth_add_attr_n(head, name, text);
}

void free_records(AUTH_LOCALHOST_ROOT_KEYFILE* k) {
  while (k) {
    AUTH_LOCALHOST_ROOT_KEYFILE* next = k->next;
    d_f_ree(k);
    k = next;
  }
}

AUTH_RESULT* denied(AUTH_SERVICE* service) {
  AUTH_RESULT* r = new_auth_result_localhost_root(service, nullptr, 0);
  r->h.status = ARS_DENY;
  return r;
}

}  // namespace

AUTH_LOCALHOST_ROOT_KEYFILE* create_localhost_root_keyfile() {
  if (!get_tmp_dir()) return nullptr;
  uint32_t key, name;
  if (random32(&key) != 0) return nullptr;
  char path[4096];
  int fd = -1;
  for (int i = 0; i < kNameTries && fd < 0; ++i) {
    if (random32(&name) != 0) return nullptr;
    key_path(path, sizeof path, name);
    fd = u_open(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno != EEXIST) return nullptr;
  }
  if (fd < 0) return nullptr;
  const bool written = u_write(fd, &key, sizeof key) == ssize_t(sizeof key);
  u_close(fd);
  if (!written) {
    u_unlink(path);
    return nullptr;
  }
  auto* k = static_cast<AUTH_LOCALHOST_ROOT_KEYFILE*>(d_calloc(1, sizeof(AUTH_LOCALHOST_ROOT_KEYFILE)));
  k->filename = name;
  k->key = key;
  return k;
}

int get_localhost_root_keyfile(AUTH_RESULT* result) {
  char path[4096];
  key_path(path, sizeof path, result->lr.filename);
  // The server names the file: only one made the way key files are made (plain, one link,
  // private, this user's) is read, so that a hostile server cannot have a link followed, a
  // pipe block the login lock, or another user's file sent to it.
  const int fd = u_open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0);
  if (fd < 0) return -1;
  struct stat st;
  const uid_t me = u_geteuid();
  const bool key_file = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
                        (st.st_mode & 077) == 0 && (me == 0 || st.st_uid == me);
  uint32_t key;
  const bool read_all = key_file && u_read(fd, &key, sizeof key) == ssize_t(sizeof key);
  u_close(fd);
  if (!read_all) return -1;
  result->lr.key = key;
  return 0;
}

void clear_keyfile(AUTH_LOCALHOST_ROOT_KEYFILE* record) {
  char path[4096];
  key_path(path, sizeof path, record->filename);
  u_unlink(path);
}

AUTH_SERVICE* new_auth_service_localhost_root(AUTH_SERVICE* tmpl) { return new_auth_service_header(tmpl, row()); }

AUTH_SERVICE* parse_info_localhost_root(AUTH_SERVICE* tmpl, TQ_SEXP*, TQ_SYM_FIELD*) {
  return new_auth_service_header(tmpl, row());
}

void free_auth_service_localhost_root(AUTH_SERVICE* service) {
  free_auth_service_header(service);
  free_records(service->lr.keyfile);
  d_f_ree(service);
}

void server_send_sexp_localhost_root(AUTH_SERVICE* service, TQ_SEXP* head) {
  if (service->lr.keyfile) add_number(head, "filename", service->lr.keyfile->filename);
}

void client_recv_sexp_localhost_root(AUTH_SERVICE* service, TQ_SEXP* head) {
  // The client reads only the newest name: the older records would only pile up.
  auto* k = static_cast<AUTH_LOCALHOST_ROOT_KEYFILE*>(d_calloc(1, sizeof(AUTH_LOCALHOST_ROOT_KEYFILE)));
  scan_attr(head, "filename", &k->filename);
  scan_attr(head, "key", &k->key);
  free_records(service->lr.keyfile);
  service->lr.keyfile = k;
}

AUTH_RESULT* authentification_localhost_root(AUTH_CONNECTION_SET* conn, AUTH_SERVICE* service, int phase) {
  if (phase == 0) {
    if (!auth_peer(conn)->local) return denied(service);
    AUTH_LOCALHOST_ROOT_KEYFILE* k = create_localhost_root_keyfile();
    if (!k) return denied(service);
    k->auth_gc_no = conn->gc_no;
    k->next = service->lr.keyfile;
    service->lr.keyfile = k;
    return nullptr;
  }
  AUTH_RESULT* r = _search_auth_result(conn->server_result, service);
  if (!r || r->h.status != ARS_NONE) return nullptr;
  r->h.status = ARS_DENY;
  // Only a key file of the running check: the names of other checks' files are no secret
  // (the temporary directory can be listed), and naming one must not end another login.
  for (AUTH_LOCALHOST_ROOT_KEYFILE** p = &service->lr.keyfile; *p; p = &(*p)->next) {
    AUTH_LOCALHOST_ROOT_KEYFILE* k = *p;
    if (k->filename != r->lr.filename || k->auth_gc_no != conn->gc_no) continue;
    if (k->key == r->lr.key) r->h.status = ARS_ACCEPT;
    *p = k->next;
    clear_keyfile(k);
    d_f_ree(k);
    break;
  }
  return nullptr;
}

void gc_service_localhost_root(AUTH_CONNECTION_SET*, AUTH_SERVICE* service, int gc_no) {
  for (AUTH_LOCALHOST_ROOT_KEYFILE** p = &service->lr.keyfile; *p;) {
    AUTH_LOCALHOST_ROOT_KEYFILE* k = *p;
    if (k->auth_gc_no != gc_no) {
      p = &k->next;
      continue;
    }
    *p = k->next;
    clear_keyfile(k);
    d_f_ree(k);
  }
}

AUTH_RESULT* new_auth_result_localhost_root(AUTH_SERVICE* service, AUTH_RESULT* tmpl, int copy_service) {
  auto* r = static_cast<AUTH_RESULT*>(d_calloc(1, sizeof(AUTH_RESULT)));
  if (copy_service && service) service = service->h.tbl->new_auth_service(service);
  r->h.status = ARS_NONE;
  if (tmpl) {
    r->lr = tmpl->lr;
    r->h.next = nullptr;
  }
  if (service || !tmpl) r->h.service = service;
  return r;
}

void free_auth_result_localhost_root(AUTH_RESULT* result, int free_service) {
  if (free_service && result->h.service) result->h.service->h.tbl->free_auth_service(result->h.service);
  d_f_ree(result);
}

TQ_SEXP* send_result_info_localhost_root(AUTH_RESULT* result) {
  TQ_SEXP* element = get_result_header_sexp(result);
  add_number(element->pair.car, "filename", result->lr.filename);
  add_number(element->pair.car, "key", result->lr.key);
  return element;
}

AUTH_RESULT* recv_result_info_localhost_root(AUTH_SET_SERVER* set, TQ_SEXP* element) {
  AUTH_SERVICE* service = get_service_header(set, element);
  if (!service) return nullptr;
  AUTH_RESULT* r = new_auth_result_localhost_root(service, nullptr, 0);
  scan_attr(element->pair.car, "filename", &r->lr.filename);
  scan_attr(element->pair.car, "key", &r->lr.key);
  return r;
}

void set_authentification_result_localhost_root(AUTH_RESULT* result, TQ_SEXP* form) {
  TQ_SEXP* head = head_symbol(form);
  scan_attr(head, "filename", &result->lr.filename);
  scan_attr(head, "key", &result->lr.key);
}

void client_transaction_localhost_root(AUTH_SERVICE* service, AUTH_RESULT* result) {
  if (!service->lr.keyfile) {
    result->h.status = ARS_DENY;
    return;
  }
  result->lr.filename = service->lr.keyfile->filename;
  if (get_localhost_root_keyfile(result) != 0) {
    result->h.status = ARS_DENY;
    return;
  }
  if (result->h.status == ARS_REQUIRED) result->h.status = ARS_SEND_PERMIT;
}

const char* const* get_result_members_localhost_root(AUTH_RESULT*) {
  static const char* const members[] = {"filename", "key", nullptr};
  return members;
}

}  // namespace tq
