// Code methods: the converters between bytes and L_CHAR (ASCII, Internal, EXTUCS-4, EUC-JP,
// Shift_JIS, JIS, UCS-4, UTF-16, UTF-8), their registry and searches, the half-width katakana
// table and the character-set correspondence tables.
#pragma once
#include <cstddef>
#include <cstdint>
#include "text/l_char.h"

namespace tq {

struct CM_DUMMY {
  int16_t d0;
  int16_t d1;
};

// A converter. Calling contract: open one work record per text and direction, feed every
// byte (to_internal) or character (to_external) through it in order, then close it, which
// writes the closing sequence of a stateful encoding and frees the record. Method records
// are static and live for the process; work records live on the debug heap.
struct code_method {
  const char* name;         // upper case, "UTF-8"
  L_CHAR lccode;            // identifier 0xDFFFNNNN
  const LCZ_SET* main_code; // characters this method is the natural choice for; may be null
  int32_t max_ret;          // most bytes to_external writes for one character
  int32_t close_max;        // most bytes close writes
  CM_DUMMY dummy;
  void* (*open)();
  // Writes the closing sequence into ret (nothing when ret is null), frees work, returns bytes.
  int (*close)(unsigned char* ret, void* work);
  // 1 when byte completed a character (stored in *ret), 0 when it was absorbed.
  int (*to_internal)(L_CHAR* ret, void* work, unsigned char byte);
  // Bytes written (1..max_ret), or 0 when ch cannot be written in this encoding.
  int (*to_external)(unsigned char* ret, void* work, L_CHAR ch);
  code_method* next;        // registry chain
};
using CODE_METHOD = code_method;

// An alias name of a method.
struct code_abb {
  code_abb* next;
  char name[32];
  CODE_METHOD* cm;
  L_CHAR lccode;
};
using CODE_ABB = code_abb;

// The nine built-in methods.
extern CODE_METHOD ascii_cm_rec, internal_cm_rec, extucs4_cm_rec;
extern CODE_METHOD euc_cm_rec, sjis_cm_rec, jis_cm_rec;
extern CODE_METHOD ucs4_cm_rec, utf16_cm_rec, utf8_cm_rec;

// The process default (EUC-JP until init_longchar reads STD_CODE), the internal method and
// UTF-8. int_cm and utf8_cm are valid from the first instruction on.
extern CODE_METHOD* std_cm;
extern CODE_METHOD* const int_cm;
extern CODE_METHOD* const utf8_cm;

// Registers the nine methods and the alias "SHIFT-JIS", sets std_cm from STD_CODE and returns
// it. Runs once at process start-up, before any stream opens; later calls only return std_cm.
CODE_METHOD* init_longchar();
// The method STD_CODE names (any registered name or alias, letters in any case), else EUC-JP.
CODE_METHOD* get_default_cm();

void insert_code_list(CODE_METHOD* cm);
void insert_code_abb(const char* name, L_CHAR lccode, CODE_METHOD* cm);  // name < 32 bytes

CODE_METHOD* search_cm(const char* name);          // ASCII letters in any case; null if unknown
L_CHAR search_lccode(const char* name);            // exact name; LC_NO_CHAR if unknown
CODE_METHOD* search_cm_by_lccode(L_CHAR lccode);   // null if unknown
CODE_METHOD* search_cm_by_main_code(L_CHAR ch);    // first method whose main_code holds ch
CODE_METHOD* get_encoding(const L_CHAR* name);     // HTTP charset name; null if unknown

// A byte 0xA0..0xDF of half-width katakana as its JIS X 0208 character; other bytes give '?'.
L_CHAR hankaku2zenkaku(int b);

// The operations of the built-in methods.
void* open_ascii();
int close_ascii(unsigned char* ret, void* work);
int ascii2int(L_CHAR* ret, void* work, unsigned char b);
int int2ascii(unsigned char* ret, void* work, L_CHAR ch);
void* open_internal();
int close_internal(unsigned char* ret, void* work);
int i2int(L_CHAR* ret, void* work, unsigned char b);
int int2i(unsigned char* ret, void* work, L_CHAR ch);
void* open_extucs4();
int close_extucs4(unsigned char* ret, void* work);
int extucs42int(L_CHAR* ret, void* work, unsigned char b);
int int2extucs4(unsigned char* ret, void* work, L_CHAR ch);
void* open_euc();
int close_euc(unsigned char* ret, void* work);
int euc2int(L_CHAR* ret, void* work, unsigned char b);
int int2euc(unsigned char* ret, void* work, L_CHAR ch);
void* open_sjis();
int close_sjis(unsigned char* ret, void* work);
int sjis2int(L_CHAR* ret, void* work, unsigned char b);
int int2sjis(unsigned char* ret, void* work, L_CHAR ch);
void* open_jis();
int close_jis(unsigned char* ret, void* work);
int jis2int(L_CHAR* ret, void* work, unsigned char b);
int int2jis(unsigned char* ret, void* work, L_CHAR ch);
void* open_ucs4();
int close_ucs4(unsigned char* ret, void* work);
int ucs42int(L_CHAR* ret, void* work, unsigned char b);
int int2ucs4(unsigned char* ret, void* work, L_CHAR ch);
void* open_utf16();
int close_utf16(unsigned char* ret, void* work);
int utf162int(L_CHAR* ret, void* work, unsigned char b);
int int2utf16(unsigned char* ret, void* work, L_CHAR ch);
void* open_utf8();
int close_utf8(unsigned char* ret, void* work);
int utf82int(L_CHAR* ret, void* work, unsigned char b);
int int2utf8(unsigned char* ret, void* work, L_CHAR ch);

// Correspondence tables: rings of characters of different sets that stand for the same
// character. Nothing fills them at start-up, so conversions between sets answer LC_NO_CHAR
// until a caller has joined characters with set_correspond. Guarded by one lock of their own.
struct code_entry {
  L_CHAR code;    // tag | index
  code_entry* co; // next member of the ring
};
using CODE_ENTRY = code_entry;
struct code_table_header {
  code_table_header* next;
  L_CHAR lcz;    // set tag
  L_CHAR mask;   // its class mask
  int64_t len;   // codes in the set: 65536 for a 16-bit set
  CODE_ENTRY* tbl;
};
using CODE_TABLE_HEADER = code_table_header;

// The table of a tagged set, made (every entry a ring of one) when missing; null for UCS.
CODE_TABLE_HEADER* get_code_table_by_lcz(L_CHAR lcz);
CODE_TABLE_HEADER* get_code_table_by_char(L_CHAR ch);  // null when no table holds ch
int set_correspond(L_CHAR a, L_CHAR b);                // 0 joined, -1 collision (recorded)
void get_last_collision(L_CHAR* a, L_CHAR* b);
int col_code_entry(CODE_ENTRY* a, CODE_ENTRY* b);      // 1 when the rings share a set
void marge_code_entry(CODE_ENTRY* a, CODE_ENTRY* b);   // joins two rings into one
L_CHAR code_convert(L_CHAR from, L_CHAR lcz_to);
L_CHAR code_convert_set(L_CHAR from, const LCZ_SET* set1, const LCZ_SET* set2);
int cmp_l_code(L_CHAR a, L_CHAR b);                    // 0 when in one ring, else -1
L_CHAR* get_all_l_char(int* sizep, L_CHAR a);          // debug-heap array of a's ring
void init_code_table_lock();

}  // namespace tq
