// The site of this process (name and address), made from the local host on first demand.
// Resolving and looking up the local host run outside lex_lock, so a slow resolver never
// holds up the lexer or the collector; only the exchange of the two values is locked.
#include "lang/site.h"

#include <atomic>

#include "lang/tq_file.h"
#include "platform/d_alloc.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

namespace {

L_CHAR* site_name;    // debug heap; null until first asked for
// site_name as published for readers that take no lock (the log stamps every record with
// it): set with it under lex_lock; a name is never freed, so a loaded one stays valid.
std::atomic<L_CHAR*> site_shown{nullptr};
HOST_ADDR site_ip{};

// Names replaced by set_tqlisp_site: callers may still hold them, so they are kept.
struct RetiredName {
  RetiredName* next;
  L_CHAR* name;
};
RetiredName* retired;

void retire(L_CHAR* name) {
  if (!name) return;
  auto* r = static_cast<RetiredName*>(d_alloc(sizeof(RetiredName)));
  r->next = retired;
  r->name = name;
  retired = r;
}

void make_site() {
  {
    LOCK_SCOPE(lex_lock);
    if (site_name) return;
  }
  char buf[1000];
  get_localhostname(buf, sizeof buf);
  L_CHAR* name = nl_copy_str_1(std_cm, buf);
  const HOST_ADDR ip = getHA_v4(get_localhostip());
  LOCK_SCOPE(lex_lock);
  if (site_name) {  // another thread was first
    d_f_ree(name);
    return;
  }
  site_name = name;
  site_ip = ip;
  site_shown.store(name, std::memory_order_release);
}

}  // namespace

L_CHAR* get_tqlisp_site() {
  if (L_CHAR* s = site_shown.load(std::memory_order_acquire)) return s;
  make_site();
  LOCK_SCOPE(lex_lock);
  return site_name;
}

HOST_ADDR* get_tqlisp_site_ip(HOST_ADDR* ret) {
  make_site();
  LOCK_SCOPE(lex_lock);
  *ret = site_ip;
  return ret;
}

int set_tqlisp_site(const L_CHAR* name) {
  if (!name) return -1;
  const char* bytes = n_string(std_cm, name);
  HOST_ENTRY* he = bytes ? r_gethostbyname(bytes) : nullptr;
  if (!he || he->ips_length < 1) return -1;
  const HOST_ADDR ip = he->ips[0];
  L_CHAR* copy = ll_copy_str(name);
  LOCK_SCOPE(lex_lock);
  retire(site_name);
  site_name = copy;
  site_ip = ip;
  site_shown.store(copy, std::memory_order_release);
  return 0;
}

}  // namespace tq
