// The login method "fix-user-passwd": a fixed user name and password per declared service.
#include "platform/d_alloc.h"
#include "remote/auth_methods.h"

namespace tq {

namespace {

const AUTH_TABLE* row() { return at_tbl(AUTH_TYPE_FIX_USER_PASSWD); }

// The head symbol of a form, or the form when it is a symbol.
TQ_SEXP* head_symbol(TQ_SEXP* form) { return get_type(form) == kTagPair ? form->pair.car : form; }

void set_members(AUTH_RESULT* r, const L_CHAR* user, const L_CHAR* passwd) {
  auth_free_secret(r->pw.user);
  auth_free_secret(r->pw.passwd);
  r->pw.user = ll_copy_str(user);
  r->pw.passwd = ll_copy_str(passwd);
}

}  // namespace

bool auth_secret_eq(const L_CHAR* a, const L_CHAR* b) {
  if (!a || !b) return false;
  const int la = l_strlen(a), lb = l_strlen(b);
  const int n = la > lb ? la : lb;
  uint32_t diff = uint32_t(la ^ lb);
  for (int i = 0; i < n; ++i) diff |= (i < la ? a[i] : 0) ^ (i < lb ? b[i] : 0);
  return diff == 0;
}

AUTH_SERVICE* new_auth_service_fix_user_passwd(AUTH_SERVICE* tmpl) {
  AUTH_SERVICE* s = new_auth_service_header(tmpl, row());
  s->pw.user = ll_copy_str(tmpl->pw.user);
  s->pw.passwd = ll_copy_str(tmpl->pw.passwd);
  return s;
}

AUTH_SERVICE* parse_info_fix_user_passwd(AUTH_SERVICE* tmpl, TQ_SEXP*, TQ_SYM_FIELD* fields) {
  AUTH_SERVICE* s = new_auth_service_header(tmpl, row());
  s->pw.user = ll_copy_str(get_sf_attribute(fields, _l_string_2(std_cm, "user")));
  s->pw.passwd = ll_copy_str(get_sf_attribute(fields, _l_string_2(std_cm, "passwd")));
  return s;
}

void free_auth_service_fix_user_passwd(AUTH_SERVICE* service) {
  free_auth_service_header(service);
  auth_free_secret(service->pw.user);
  auth_free_secret(service->pw.passwd);
  d_f_ree(service);
}

void server_send_sexp_fix_user_passwd(AUTH_SERVICE*, TQ_SEXP*) {}
void client_recv_sexp_fix_user_passwd(AUTH_SERVICE*, TQ_SEXP*) {}

AUTH_RESULT* authentification_fix_user_passwd(AUTH_CONNECTION_SET* conn, AUTH_SERVICE* service, int phase) {
  if (phase == 0) return nullptr;
  AUTH_RESULT* r = _search_auth_result(conn->server_result, service);
  if (!r || r->h.status != ARS_NONE) return nullptr;
  const bool user_ok = service->pw.user && r->pw.user && l_strcmp(service->pw.user, r->pw.user) == 0;
  const bool passwd_ok = auth_secret_eq(service->pw.passwd, r->pw.passwd);  // compared whatever the user
  r->h.status = user_ok && passwd_ok ? ARS_ACCEPT : ARS_DENY;
  return nullptr;
}

AUTH_RESULT* new_auth_result_fix_user_passwd(AUTH_SERVICE* service, AUTH_RESULT* tmpl, int copy_service) {
  auto* r = static_cast<AUTH_RESULT*>(d_calloc(1, sizeof(AUTH_RESULT)));
  if (copy_service && service) service = service->h.tbl->new_auth_service(service);
  r->h.status = ARS_NONE;
  if (tmpl) {
    r->pw = tmpl->pw;
    r->h.next = nullptr;
    r->pw.user = ll_copy_str(tmpl->pw.user);
    r->pw.passwd = ll_copy_str(tmpl->pw.passwd);
  }
  if (service || !tmpl) r->h.service = service;
  return r;
}

void free_auth_result_fix_user_passwd(AUTH_RESULT* result, int free_service) {
  if (free_service && result->h.service) result->h.service->h.tbl->free_auth_service(result->h.service);
  auth_free_secret(result->pw.user);
  auth_free_secret(result->pw.passwd);
  d_f_ree(result);
}

TQ_SEXP* send_result_info_fix_user_passwd(AUTH_RESULT* result) {
  TQ_SEXP* element = get_result_header_sexp(result);
  auth_add_attr(element->pair.car, "user", result->pw.user);
  auth_add_attr(element->pair.car, "passwd", result->pw.passwd);
  return element;
}

AUTH_RESULT* recv_result_info_fix_user_passwd(AUTH_SET_SERVER* set, TQ_SEXP* element) {
  AUTH_SERVICE* service = get_service_header(set, element);
  if (!service) return nullptr;
  TQ_SEXP* head = element->pair.car;
  AUTH_RESULT tmpl{};
  tmpl.h.status = ARS_NONE;
  tmpl.pw.user = auth_attr(head, "user");
  tmpl.pw.passwd = auth_attr(head, "passwd");
  return new_auth_result_fix_user_passwd(service, &tmpl, 0);
}

void set_authentification_result_fix_user_passwd(AUTH_RESULT* result, TQ_SEXP* form) {
  TQ_SEXP* head = head_symbol(form);
  set_members(result, auth_attr(head, "user"), auth_attr(head, "passwd"));
}

const char* const* get_result_members_fix_user_passwd(AUTH_RESULT*) {
  static const char* const members[] = {"user", "passwd", nullptr};
  return members;
}

}  // namespace tq
