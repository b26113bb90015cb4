// Environments: hashed symbol tables with a parent, pairs of environments, bindings,
// the undefined-name handler, work pointers, unit environments and the list form.
//
// qv_env_lock serialises the changes of the tables, held for one hashed table at a time and
// never across a call out. A binding's element and its name copy are made, and a table is
// enlarged, under the environment lock and then the memory lock (that order only): the
// collector never takes the environment lock, so the memory lock is what keeps a half-made
// binding or a table being rebuilt away from it.
//
// Lookups take no lock: they walk the chains inside the thread's section of the memory lock
// (so no collection frees what they walk meanwhile) and never leave it before they are done:
// out of it, a relink could leave the table under the walk reachable from nothing and a
// collection free it. A writer fills a binding before it links it with a release store,
// replaces a name or value with one store, and unlinks with one store, so a walk meets every
// binding whole, either before or after the change. Only the enlargement moves bindings
// between chains: it makes the table's moves counter odd while it does, and a lookup that
// finds nothing while the counter moved looks again once it is even. The enlarger moves the
// bindings inside its own section and needs nothing else meanwhile, so that wait is short
// and cannot hold up a collection for longer than the move. A table's bucket count is read
// from its own block, never apart from it. A table that never bound a name has no buckets
// yet (many, such as a loop pass's, never bind one): the first binding makes them and
// publishes them before it links itself.
//
// Each table keeps a filter of the names it ever bound (two bits per name, set before the
// binding is linked and never cleared): a lookup passes over a table whose filter lacks the
// name's bits without reading its buckets. A reader that does not see the bits yet is
// ordered before the binding, as one that does not see the link; a writer's bits are visible
// to any thread that synchronised with it after set_env returned.
//
// A chain of small tables (the tables of calls and loop passes, each under the one it ran
// in) is passed over in one step: each table takes, when it is made, the run of small
// tables from itself up its parents with the union of their filters and the first
// environment past them, from its parent's run or by walking it. A run holds in the epoch
// of names it was taken in: a table that some run passes over (in_run) and that gains
// filter bits raises the epoch after it links the binding, and a lookup uses only runs of
// the epoch it read first. A taker marks every table of its run before it reads their
// filters, and a writer sets its bits before it reads the mark (a full fence on both
// sides), so either the taker sees the bits or the writer raises the epoch.
//
// Lookups in a large table (the top tables hold many words on long chains) go through
// a per-thread cache of the answers found there: the table's serial (unique for the
// process's life, so a table made where a dead one lay never matches), the name's text, and
// the binding found or, for a name not bound, the table's count of names ever added. An
// answer holds while the table has removed no binding since it was found (so the binding is
// still linked, alive, and still the table's one binding of that name: bindings never move
// between tables and a rebinding changes the value in place) and, for an absence, while no
// name was added. Both counters are read before the search that fills an entry and are
// raised by writers after they link or unlink, so a change that the search missed always
// invalidates the entry. A removal raises its counter before it unlinks as well (the count
// is odd meanwhile, and nothing is cached then): a remover held up between unlinking and
// counting could otherwise let a collection free the binding while a cached answer still
// takes it for linked.
#include <sched.h>

#include <atomic>

#include "lang/env.h"

#include "lang/gc.h"
#include "lang/gc_internal.h"
#include "platform/startup.h"
#include "text/code_method.h"
#include "text/l_string.h"

namespace tq {

SEM qv_env_lock;

// A table fills one slot size of collected memory; a loop makes one per pass.
static_assert(sizeof(TQISP_ENV) == 112);

namespace {

L_CHAR kEmpty[] = {0};

template <class T>
T load(T& field) {
  return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <class T>
void publish(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

uint32_t code_sum(const L_CHAR* name) {
  uint32_t sum = 0;
  for (const L_CHAR* p = name; *p; ++p) sum += *p;
  return sum;
}

bool same_name(const L_CHAR* a, const L_CHAR* b) {
  for (; *a == *b; ++a, ++b)
    if (!*a) return true;
  return false;
}

TQ_ENV* first_hashed(TQISP_ENV* env) {
  while (env && env->type == kEnvPair) env = env->pair.env[1];
  return env && env->type == kEnvHash ? &env->env : nullptr;
}

// The element binding name in one table (environment lock held).
[[gnu::hot]] ELEMENT* find_here(TQ_ENV* e, const L_CHAR* name) {
  if (!e->hash_ptr) return nullptr;
  for (ELEMENT* el = e->hash_ptr[hash_key(name, e->hash_ptr_size)]; el; el = el->next)
    if (el->sym && same_name(el->sym, name)) return el;
  return nullptr;
}

// The lookup's walk without the lock (inside the memory-lock section): 1 found (its binding
// through elp), 0 not bound here, -1 when the table was enlarged meanwhile and only a walk
// under the lock can tell.
int find_unlocked(TQ_ENV* e, const L_CHAR* name, uint32_t sum, ELEMENT** elp) {
  const uint16_t moves = load(e->moves);
  if (moves & 1u) return -1;
  ELEMENT** table = load(e->hash_ptr);
  if (!table) return 0;  // nothing was ever bound here
  const auto size = uint32_t(block_size(gc_block_of(table)) / int64_t(sizeof(ELEMENT*)));
  for (ELEMENT* el = load(table[sum % size]); el; el = load(el->next)) {
    const L_CHAR* sym = load(el->sym);
    if (sym && same_name(sym, name)) {
      *elp = el;
      return 1;
    }
  }
  std::atomic_thread_fence(std::memory_order_acquire);
  return std::atomic_ref<uint16_t>(e->moves).load(std::memory_order_relaxed) == moves ? 0 : -1;
}

// Moves every element onto a table of size buckets (both locks held).
void re_hash(TQ_ENV* e, int32_t size) {
  auto** table = static_cast<ELEMENT**>(mmalloc(sizeof(ELEMENT*) * size_t(size), gc_text));
  std::atomic_ref<uint16_t>(e->moves).store(uint16_t(e->moves + 1), std::memory_order_relaxed);
  std::atomic_thread_fence(std::memory_order_release);
  for (int32_t i = 0; i < e->hash_ptr_size; ++i) {
    while (ELEMENT* el = e->hash_ptr[i]) {
      publish(e->hash_ptr[i], el->next);
      ELEMENT*& head = table[hash_key(el->sym, size)];
      publish(el->next, head);
      head = el;
    }
  }
  publish(e->hash_ptr, table);
  publish(e->hash_ptr_size, int16_t(size));
  publish(e->moves, uint16_t(e->moves + 1));
}

bool remove_here(TQ_ENV* e, const L_CHAR* name) {
  LOCK_SCOPE(qv_env_lock);
  if (!e->hash_ptr) return false;
  for (ELEMENT** p = &e->hash_ptr[hash_key(name, e->hash_ptr_size)]; *p; p = &(*p)->next) {
    if (!(*p)->sym || !same_name((*p)->sym, name)) continue;
    publish(e->removals, e->removals + 1);  // odd: cached answers of e no longer hold
    publish(*p, (*p)->next);
    publish(e->removals, e->removals + 1);
    return true;
  }
  return false;
}

// Removes the first binding found along a chain; a pair removes on both of its sides.
bool del_chain(TQISP_ENV* env, const L_CHAR* name) {
  while (env) {
    if (env->type == kEnvPair) {
      const bool first = del_chain(load(env->pair.env[0]), name);
      const bool second = del_chain(env->pair.env[1], name);
      return first || second;
    }
    if (env->type != kEnvHash) er_panic("del_env");
    if (remove_here(&env->env, name)) return true;
    env = load(env->env.parent);
  }
  return false;
}

constexpr int32_t kCachedTable = 16;  // tables that ever bound fewer names are searched directly

// The epoch of names (see the top of the file).
std::atomic<uint64_t> name_epoch{1};

// Whether t belongs in a run: a table that has bound fewer names than a large one (a hint:
// either answer keeps the runs right).
bool run_member(TQISP_ENV* t) {
  return t && t->type == kEnvHash && load(t->env.hash_element_nos) < kCachedTable;
}

void mark_in_run(TQ_ENV& t) { std::atomic_ref<int32_t>(t.in_run).store(1, std::memory_order_relaxed); }

// The run of the new table e under parent, taken before e is reachable.
void take_run(TQ_ENV* e, TQISP_ENV* parent) {
  const uint64_t epoch = name_epoch.load(std::memory_order_acquire);
  e->skip_epoch = epoch;
  e->skip_count = 1;
  e->skip = parent;
  if (!run_member(parent)) return;
  TQ_ENV& p = parent->env;
  mark_in_run(p);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  if (p.skip_epoch == epoch) {  // the parent's run holds: it goes on from there
    e->skip = p.skip;
    e->skip_names = load(p.skip_names);
    e->skip_count = p.skip_count + 1;
    return;
  }
  TQISP_ENV* end = parent;
  int32_t count = 1;
  for (; run_member(end) && count < (1 << 30); end = load(end->env.parent), ++count) mark_in_run(end->env);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // The same tables again, counted: a parent relinked since the marking may no longer lead
  // to end (the run is then of an old epoch, never used, but the walk must stay on tables).
  uint64_t bits = 0;
  TQISP_ENV* t = parent;
  for (int32_t i = 1; i < count && t && t->type == kEnvHash; ++i, t = load(t->env.parent)) bits |= load(t->env.names);
  e->skip = end;
  e->skip_names = bits;
  e->skip_count = count;
}

// Table serials: each thread numbers its tables from a range of 2^32 it takes at once.
std::atomic<uint64_t> serial_ranges{0};
thread_local uint64_t serial_next = 0;
thread_local uint64_t serial_end = 0;

uint64_t next_serial() {
  if (serial_next == serial_end) {
    serial_next = (serial_ranges.fetch_add(1, std::memory_order_relaxed) + 1) << 32;
    serial_end = serial_next + (uint64_t(1) << 32);
  }
  return serial_next++;
}

// The per-thread cache of answers found in large tables (see the top of the file).
constexpr int kCachedName = 12;  // longer names are not cached
struct LookupAnswer {
  uint64_t serial;   // the table's; 0 for an empty entry
  ELEMENT* binding;  // null: the name is not bound there
  uint32_t removals;
  uint32_t names_added;
  int32_t length;
  L_CHAR name[kCachedName];
};
constexpr int kAnswers = 256;
thread_local LookupAnswer answers[kAnswers];

LookupAnswer& answer_slot(const TQ_ENV* e, uint32_t sum) {
  return answers[((uint32_t(e->serial) * 0x85EBCA6Bu) ^ sum) * 0x9E3779B1u >> 24];
}

bool answer_names(const LookupAnswer& a, const L_CHAR* name) {
  for (int i = 0; i < a.length; ++i)
    if (a.name[i] != name[i]) return false;
  return name[a.length] == 0;
}

TQ_SEXP* sym(const char* name) { return n_get_symbol(name); }
TQ_SEXP* env_cell(TQISP_ENV* e) { return e ? get_env(e) : nullptr; }
TQ_SEXP* binding_form(const L_CHAR* name, TQ_SEXP* value) {
  return List(sym("element"), get_string(name), value, kListEnd);
}

TQ_SEXP* listbase_hashed(TQISP_ENV* env) {
  TQ_ENV& e = env->env;
  TQ_SEXP* hash = nullptr;
  TQ_SEXP* handler = nullptr;
  {
    LOCK_SCOPE(qv_env_lock);
    for (int32_t i = 0; e.hash_ptr && i < e.hash_ptr_size; ++i)
      for (ELEMENT* el = e.hash_ptr[i]; el; el = el->next) hash = cons(binding_form(el->sym, el->data), hash);
    if (e.default_sym) handler = binding_form(kEmpty, e.default_sym->data);
  }
  TQ_SEXP* tail = nullptr;
  if (handler) tail = cons(List(sym("default-sym"), handler, kListEnd), tail);
  if (e.uenv) tail = cons(List(sym("uenv"), nullptr, kListEnd), tail);
  tail = cons(cons(sym("hash"), hash), tail);
  tail = cons(List(sym("flags"), get_integer(e.flags, nullptr), kListEnd), tail);
  tail = cons(List(sym("work"), get_integer(int64_t(reinterpret_cast<intptr_t>(e.work)), nullptr), kListEnd), tail);
  tail = cons(List(sym("parent"), env_cell(load(e.parent)), kListEnd), tail);
  tail = cons(List(sym("type"), n_get_string("env"), kListEnd), tail);
  return cons(sym("tqisp-env"), tail);
}

TQ_SEXP* headed(TQ_SEXP* list, const char* name) { return get_el_by_symbol(list, _l_string_1(std_cm, name), nullptr); }

bool is_text(TQ_SEXP* s, const char* text) {
  return get_type(s) == kTagString && l_strcmp(s->string.data, _l_string_1(std_cm, text)) == 0;
}

TQISP_ENV* env_of(TQ_SEXP* s) { return get_type(s) == kTagEnv ? s->env.data : nullptr; }

TQISP_ENV* read_pair(TQ_SEXP* list) {
  TQISP_ENV* found[2] = {nullptr, nullptr};
  int n = 0;
  for (TQ_SEXP* p = list; n < 2 && get_type(p) == kTagPair; p = p->pair.cdr)
    if (get_type(p->pair.car) == kTagEnv) found[n++] = p->pair.car->env.data;
  return new_env_pair(found[0], found[1]);
}

TQISP_ENV* read_hashed(TQ_SEXP* list, TQISP_ENV* env) {
  TQ_SEXP* parent = headed(list, "parent");
  TQ_SEXP* hash = headed(list, "hash");
  if (!parent || !hash) return nullptr;
  TQISP_ENV* target = env ? env : new_env(env_of(get_el(parent, 1)));
  for (TQ_SEXP* p = cdr(hash); get_type(p) == kTagPair; p = p->pair.cdr) {
    TQ_SEXP* name = get_el(p->pair.car, 1);
    if (get_type(name) == kTagString) set_env(target, name->string.data, get_el(p->pair.car, 2));
  }
  TQ_SEXP* handler = get_el(headed(list, "default-sym"), 1);
  if (get_type(get_el(handler, 1)) == kTagString) set_default_env(target, get_el(handler, 2));
  return target;
}

}  // namespace

void init_env_lock() {
  if (!lock_up_test(qv_env_lock)) qv_env_lock = new_lock();
}

uint32_t hash_key(const L_CHAR* name, int32_t size) { return code_sum(name) % uint32_t(size); }

TQISP_ENV* new_env(TQISP_ENV* parent) {
  MemLock lock;
  auto* env = static_cast<TQISP_ENV*>(mmalloc(sizeof(TQISP_ENV), gc_qvlisp_env));
  env->env.type = kEnvHash;
  env->env.parent = parent;
  env->env.hash_ptr_size = kEnvBucketsFirst;  // the buckets are made with the first binding
  env->env.serial = next_serial();
  take_run(&env->env, parent);
  return env;
}

TQISP_ENV* new_env_pair(TQISP_ENV* env0, TQISP_ENV* env1) {
  MemLock lock;  // a collection must not meet the record before it has its type
  auto* env = static_cast<TQISP_ENV*>(mmalloc(sizeof(TQISP_ENV), gc_qvlisp_env));
  env->pair.type = kEnvPair;
  env->pair.env[0] = env0;
  env->pair.env[1] = env1;
  return env;
}

namespace {

// Binds name (whose collected text is text) to value in e; the memory lock held, and the
// environment lock too unless no other thread can reach e yet.
void bind_here(TQ_ENV* e, const L_CHAR* name, L_CHAR* text, TQ_SEXP* value) {
  if (ELEMENT* el = find_here(e, name)) {
    publish(el->sym, text);
    publish(el->data, value);
  } else {
    if (!e->hash_ptr)
      publish(e->hash_ptr, static_cast<ELEMENT**>(mmalloc(sizeof(ELEMENT*) * kEnvBucketsFirst, gc_text)));
    el = static_cast<ELEMENT*>(mmalloc(sizeof(ELEMENT), gc_element));
    const uint32_t sum = code_sum(name);
    const uint64_t before = e->names;
    const uint64_t bits = name_bits(sum);
    publish(e->names, before | bits);
    publish(e->skip_names, e->skip_names | bits);
    ELEMENT*& head = e->hash_ptr[sum % uint32_t(e->hash_ptr_size)];
    el->sym = text;
    el->data = value;
    el->next = head;
    publish(head, el);
    publish(e->hash_element_nos, e->hash_element_nos + 1);
    if ((before | bits) != before) {  // new filter bits: runs that pass over e no longer hold
      std::atomic_thread_fence(std::memory_order_seq_cst);
      if (std::atomic_ref<int32_t>(e->in_run).load(std::memory_order_relaxed))
        name_epoch.fetch_add(1, std::memory_order_release);
    }
  }
  if (e->hash_ptr_size == kEnvBucketsFirst && e->hash_element_nos >= kEnvGrowAt) re_hash(e, kEnvBucketsGrown);
}

}  // namespace

void set_env(TQISP_ENV* env, const L_CHAR* name, TQ_SEXP* value) {
  TQ_ENV* e = first_hashed(env);
  if (!e) return;
  LOCK_SCOPE(qv_env_lock);
  MemLock lock;
  bind_here(e, name, copy_cell_text(name), value);
}

void bind_fresh(TQISP_ENV* env, L_CHAR* name, TQ_SEXP* value) {
  MemLock lock;
  bind_here(&env->env, name, name, value);
}

void set_default_env(TQISP_ENV* env, TQ_SEXP* value) {
  TQ_ENV* e = first_hashed(env);
  if (!e) return;
  LOCK_SCOPE(qv_env_lock);
  MemLock lock;
  auto* el = static_cast<ELEMENT*>(mmalloc(sizeof(ELEMENT), gc_element));
  el->data = value;
  publish(e->default_sym, el);
}

void del_env(TQISP_ENV* env, const L_CHAR* name) { del_chain(env, name); }

void del_default_env(TQISP_ENV* env) {
  if (!env) return;
  if (env->type == kEnvPair) {
    del_default_env(load(env->pair.env[0]));
    del_default_env(env->pair.env[1]);
  } else if (env->type == kEnvHash) {
    LOCK_SCOPE(qv_env_lock);
    publish(env->env.default_sym, static_cast<ELEMENT*>(nullptr));
  }
}

ELEMENT* search_env(TQISP_ENV* env, const L_CHAR* name) {
  if (!env || env->type != kEnvHash) er_panic("search_env");
  LOCK_SCOPE(qv_env_lock);
  return find_here(&env->env, name);
}

namespace {

// One table of the walk of lookup_env, with sum the name's code sum, inside the memory-lock
// section: the binding, or null; its value in *value. A table being enlarged is searched
// again until the move is over.
[[gnu::hot]] ELEMENT* search_table(TQ_ENV* e, const L_CHAR* name, uint32_t sum, TQ_SEXP** value) {
  ELEMENT* el = nullptr;
  for (int tries = 1; find_unlocked(e, name, sum, &el) < 0; ++tries)
    if (tries % 64 == 0) sched_yield();  // the enlarger may wait for a processor
  if (el) *value = load(el->data);
  return el;
}

// A large table, through the thread's cache of answers: 1 with the value, or 0.
int search_cached(TQ_SEXP** ret, TQ_ENV* e, const L_CHAR* name, uint32_t sum) {
  LookupAnswer& a = answer_slot(e, sum);
  const uint32_t removals = load(e->removals);
  const auto added = uint32_t(load(e->hash_element_nos));
  if (a.serial == e->serial && a.removals == removals && answer_names(a, name)) {
    if (a.binding) {
      *ret = load(a.binding->data);
      return 1;
    }
    if (a.names_added == added) return 0;
  }
  TQ_SEXP* value = nullptr;
  ELEMENT* el = search_table(e, name, sum, &value);
  int length = 0;
  while (length <= kCachedName && name[length]) ++length;
  if (length <= kCachedName && !(removals & 1u)) {
    a.serial = e->serial;
    a.binding = el;
    a.removals = removals;
    a.names_added = added;
    a.length = length;
    for (int i = 0; i < length; ++i) a.name[i] = name[i];
  }
  if (!el) return 0;
  *ret = value;
  return 1;
}

// The walk of lookup_env: 0 found, -1 not bound.
[[gnu::hot]] int lookup_chain(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name, int depth, uint32_t sum) {
  if (depth < 0) depth = 0x7fffffff;
  const uint64_t bits = name_bits(sum);
  const uint64_t epoch = name_epoch.load(std::memory_order_acquire);
  for (; env && depth >= 0; --depth) {
    if (env->type == kEnvPair) {
      const int r = lookup_chain(ret, load(env->pair.env[0]), name, depth - 1, sum);
      if (r != -1) return r;
      env = env->pair.env[1];
      continue;
    }
    if (env->type != kEnvHash) er_panic("lookup_env");
    if (env->env.skip_epoch == epoch && (load(env->env.skip_names) & bits) != bits) {
      depth -= env->env.skip_count - 1;  // no table of the run binds the name
      env = env->env.skip;
      continue;
    }
    if ((load(env->env.names) & bits) != bits) {  // never bound here
      env = load(env->env.parent);
      continue;
    }
    TQ_ENV* e = &env->env;
    if (load(e->hash_element_nos) >= kCachedTable) {  // a hint: either way answers right
      if (search_cached(ret, e, name, sum)) return 0;
    } else if (search_table(e, name, sum, ret)) {
      return 0;
    }
    env = load(e->parent);  // a relink (set_env_parent) may publish it meanwhile
  }
  return -1;
}

}  // namespace

int lookup_env(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name, int depth) {
  MemLock hold;
  return lookup_chain(ret, env, name, depth, code_sum(name));
}

int lookup_env_rooted(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name, int depth) {
  MemLock hold;
  const int found = lookup_chain(ret, env, name, depth, code_sum(name));
  if (found == 0 && *ret) gc_pin_nl(*ret);
  return found;
}

[[gnu::hot]] int lookup_env_held(TQ_SEXP** ret, TQISP_ENV* env, const L_CHAR* name) {
  return lookup_chain(ret, env, name, -1, code_sum(name));
}

void set_env_parent(TQISP_ENV* env, TQISP_ENV* parent) {
  TQISP_ENV*& link = env->type == kEnvPair ? env->pair.env[0] : env->env.parent;
  publish(link, parent);
  name_epoch.fetch_add(1, std::memory_order_release);  // the runs through the old link end
}

namespace {

// The walks of get_root_env and get_uenv, inside the memory-lock section: out of it, a
// relink could leave a table under the walk reachable from nothing and a collection free it.
TQISP_ENV* root_env_held(TQISP_ENV* env) {
  while (env) {
    if (env->type == kEnvPair) {
      env = load(env->pair.env[1]);
    } else if (env->type == kEnvHash) {
      if (env->env.work || !load(env->env.parent)) return env;
      env = load(env->env.parent);
    } else {
      er_panic("get_root_env(1)");
    }
  }
  return nullptr;
}

UNIT_ENV* uenv_held(TQISP_ENV* env) {
  while (env) {
    if (env->type == kEnvPair) {
      if (UNIT_ENV* u = uenv_held(load(env->pair.env[0]))) return u;
      env = load(env->pair.env[1]);
      continue;
    }
    if (env->type != kEnvHash) er_panic("get_uenv");
    if (UNIT_ENV* u = load(env->env.uenv)) return u;
    env = load(env->env.parent);
  }
  return nullptr;
}

}  // namespace

TQISP_ENV* get_root_env(TQISP_ENV* env) {
  MemLock hold;
  return root_env_held(env);
}

void* get_env_work(TQISP_ENV* env) {
  MemLock hold;
  TQISP_ENV* root = root_env_held(env);
  return root ? root->env.work : nullptr;
}

void set_env_work(TQISP_ENV* env, void* work) {
  if (!env || env->type != kEnvHash) er_panic("set_env_work(1)");
  env->env.work = work;
  env->env.flags |= 1;
}

UNIT_ENV* get_uenv(TQISP_ENV* env) {
  MemLock hold;
  return uenv_held(env);
}

void set_uenv(TQISP_ENV* env, UNIT_ENV* uenv) {
  if (!env || env->type != kEnvHash) return;
  LOCK_SCOPE(qv_env_lock);
  publish(env->env.uenv, uenv);
}

TQ_SEXP* get_listbase_env(TQISP_ENV* env) {
  if (!env) return nullptr;
  GcFrame frame("get_listbase_env");
  TQ_SEXP* r;
  if (env->type == kEnvPair) {
    r = List(sym("tqisp-env"), List(sym("type"), n_get_string("pair"), kListEnd), env_cell(load(env->pair.env[0])),
             env_cell(env->pair.env[1]), kListEnd);
  } else if (env->type == kEnvHash) {
    r = listbase_hashed(env);
  } else {
    er_panic("get_listbase_env");
  }
  return frame.release(r);
}

TQISP_ENV* set_listbase_env(TQ_SEXP* list, TQISP_ENV* env) {
  gc_push(nullptr, nullptr, "set_listbase_env");
  TQ_SEXP* type = get_el(headed(list, "type"), 1);
  TQISP_ENV* r = nullptr;
  if (is_text(type, "pair")) {
    r = read_pair(list);
  } else if (is_text(type, "env")) {
    r = read_hashed(list, env);
  }
  gc_pop(r, r ? gc_qvlisp_env : nullptr);
  return r;
}

}  // namespace tq

namespace tq {

[[gnu::hot]] int replace_env_value(TQISP_ENV* env, const L_CHAR* name, TQ_SEXP* value) {
  if (!env || env->type != kEnvHash) er_panic("replace_env_value");
  if ((load(env->env.names) & name_bits(code_sum(name))) != name_bits(code_sum(name))) return -1;  // never bound here
  LOCK_SCOPE(qv_env_lock);
  ELEMENT* el = find_here(&env->env, name);
  if (!el) return -1;
  publish(el->data, value);
  return 0;
}

}  // namespace tq
