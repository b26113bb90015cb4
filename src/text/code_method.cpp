// The registry of code methods: registration at start-up, the searches by name, identifier
// and character, the default method from STD_CODE, and the HTTP charset names.
// Filled once by init_longchar on the first thread, read without a lock afterwards.
#include "text/code_method.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/d_alloc.h"
#include "platform/startup.h"

namespace tq {

CODE_METHOD* std_cm = &euc_cm_rec;
CODE_METHOD* const int_cm = &internal_cm_rec;
CODE_METHOD* const utf8_cm = &utf8_cm_rec;

namespace {

CODE_METHOD* cm_head = nullptr;
CODE_METHOD* cm_tail = nullptr;
CODE_ABB* abb_head = nullptr;
CODE_ABB* abb_tail = nullptr;
std::atomic<bool> registered{false};

char ascii_upper(char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; }

// name equals upper (already upper case) once ASCII letters of name are upper-cased.
bool equal_upper(const char* name, const char* upper) {
  for (; *name && *upper; ++name, ++upper)
    if (ascii_upper(*name) != *upper) return false;
  return *name == *upper;
}

}  // namespace

void insert_code_list(CODE_METHOD* cm) {
  cm->next = nullptr;
  if (cm_tail)
    cm_tail->next = cm;
  else
    cm_head = cm;
  cm_tail = cm;
}

void insert_code_abb(const char* name, L_CHAR lccode, CODE_METHOD* cm) {
  if (strlen(name) >= sizeof(CODE_ABB::name)) er_panic("insert_code_abb");
  auto* abb = static_cast<CODE_ABB*>(d_calloc(1, sizeof(CODE_ABB)));
  strcpy(abb->name, name);
  abb->cm = cm;
  abb->lccode = lccode;
  if (abb_tail)
    abb_tail->next = abb;
  else
    abb_head = abb;
  abb_tail = abb;
}

CODE_METHOD* init_longchar() {
  bool expected = false;
  if (registered.compare_exchange_strong(expected, true)) {
    for (CODE_METHOD* cm : {&ascii_cm_rec, &sjis_cm_rec, &jis_cm_rec, &euc_cm_rec, &internal_cm_rec,
                            &utf8_cm_rec, &utf16_cm_rec, &ucs4_cm_rec, &extucs4_cm_rec})
      insert_code_list(cm);
    insert_code_abb("SHIFT-JIS", 0xDFFF0309, &sjis_cm_rec);
    init_code_table_lock();
    std_cm = get_default_cm();
  }
  return std_cm;
}

CODE_METHOD* get_default_cm() {
  const char* name = getenv("STD_CODE");
  CODE_METHOD* cm = name ? search_cm(name) : nullptr;
  return cm ? cm : &euc_cm_rec;
}

CODE_METHOD* search_cm(const char* name) {
  if (!name) return nullptr;
  for (CODE_METHOD* cm = cm_head; cm; cm = cm->next)
    if (equal_upper(name, cm->name)) return cm;
  for (CODE_ABB* abb = abb_head; abb; abb = abb->next)
    if (equal_upper(name, abb->name)) return abb->cm;
  return nullptr;
}

L_CHAR search_lccode(const char* name) {
  if (!name) return LC_NO_CHAR;
  for (CODE_METHOD* cm = cm_head; cm; cm = cm->next)
    if (strcmp(name, cm->name) == 0) return cm->lccode;
  for (CODE_ABB* abb = abb_head; abb; abb = abb->next)
    if (strcmp(name, abb->name) == 0) return abb->lccode;
  return LC_NO_CHAR;
}

CODE_METHOD* search_cm_by_lccode(L_CHAR lccode) {
  for (CODE_METHOD* cm = cm_head; cm; cm = cm->next)
    if (cm->lccode == lccode) return cm;
  for (CODE_ABB* abb = abb_head; abb; abb = abb->next)
    if (abb->lccode == lccode) return abb->cm;
  return nullptr;
}

CODE_METHOD* search_cm_by_main_code(L_CHAR ch) {
  for (CODE_METHOD* cm = cm_head; cm; cm = cm->next) {
    if (!cm->main_code) continue;
    for (const LCZ_SET* e = cm->main_code; e->lcz != LC_NO_CHAR; ++e)
      if (lcz_member(ch, *e)) return cm;
  }
  return nullptr;
}

CODE_METHOD* get_encoding(const L_CHAR* name) {
  if (!name) return nullptr;
  // Charset names worth knowing are short ASCII words; anything longer or wider is unknown.
  char up[16];
  size_t n = 0;
  for (; name[n]; ++n) {
    if (n + 1 >= sizeof up || name[n] > 0x7E) return nullptr;
    up[n] = ascii_upper(char(name[n]));
  }
  up[n] = 0;
  static constexpr struct {
    const char* name;
    CODE_METHOD* cm;
  } kCharsets[] = {{"SHIFT_JIS", &sjis_cm_rec}, {"SHIFT-JIS", &sjis_cm_rec}, {"EUC", &euc_cm_rec},
                   {"EUC-JP", &euc_cm_rec},     {"JIS", &jis_cm_rec},        {"UTF-8", &utf8_cm_rec}};
  for (const auto& c : kCharsets)
    if (strcmp(up, c.name) == 0) return c.cm;
  return nullptr;
}

}  // namespace tq
