// Small text utilities beside the conversions: escaping names for the lock server,
// splitting L_CHAR strings at separators (DIV_STR), a two-key integer map (CODEHASH),
// flag names, the locale abbreviation and the dump of global addresses.
#pragma once
#include <cstddef>
#include <cstdint>

#include "text/l_char.h"

namespace tq {

// A new debug-heap string with "&", "<", backslash, LF and CR replaced by "&amp;", "&lt;",
// two backslashes, "\n" and "\n" (one character per byte). For names sent to the lock server.
L_CHAR* xx_safety_string(const L_CHAR* str, const char* file, int line);
#define safety_string(s) ::tq::xx_safety_string((s), __FILE__, __LINE__)

// ---- Splitting. Arrays of items end with the item whose term is 0.
struct div_str {
  uint16_t term;  // 1 on every item but the last
  uint8_t type;   // 0 a string, 1 a nested array
  uint8_t flags;  // 1 when the item owns what d points to
  union {
    L_CHAR* str;
    div_str* ds;
  } d;
};
using DIV_STR = div_str;

// Cuts the item's string at every occurrence of div (not empty) into a nested array of
// owned pieces: an empty piece before a separator counts, an empty rest after the last
// one does not, an empty string gives one empty piece.
void divide_string_str(DIV_STR* str, const L_CHAR* div);
// Splits every item of an array (through its last), nested arrays recursively.
void divide_string(DIV_STR* str, const L_CHAR* div);
void free_div_str(DIV_STR* ds);       // what one item owns
void free_div_str_list(DIV_STR* ds);  // what every item of an array owns (not the array)
void print_div_str(const DIV_STR* str);

// ---- Two-key map: entries with a forward and a reverse key, each hashed on its own.
struct codehash_entry {
  codehash_entry* forward_next;
  codehash_entry* reverse_next;
  int forward;
  int reverse;
};
struct codehash {
  int keylen;  // buckets of each side
  int gen_forward;
  int gen_reverse;
  codehash_entry** reverse;
  codehash_entry** forward;
  void* (*alloc_func)(size_t size);
  void (*free_func)(void* ptr);
};
using CODEHASH = codehash;

void init_codehash(CODEHASH* ch);
// flags bit 0: forward is given (else generated); bit 1: rev is given (else generated).
codehash_entry* insert_codehash(CODEHASH* ch, int rev, int forward, int flags);
// flags bit 0: look up by forward, else by rev.
codehash_entry* search_codehash(CODEHASH* ch, int rev, int forward, int flags);
void delete_codehash(CODEHASH* ch, int rev, int forward, int flags);

// ---- Flag names.
struct attr_table {
  const char* flag_name;  // a table ends with a null name
  int flag;
};
using ATTR_TABLE = attr_table;
// ORs the flags of the names in attr (separated by ":", in table order); *er is -1 when a
// name was not found, else 0.
int get_attr_flags(int* er, const L_CHAR* attr, const ATTR_TABLE* at);

// "ja" for "ja_JP" and "ja", else "en".
const char* get_abstract_locale(const char* name);

// ---- Dump of global addresses, a debugging aid. Nothing opens it at start-up: until
// init_sg has run (once per process: it creates the preference folder with mode 0700 and
// opens "<preference folder>global.txt" afresh) and after end_sg, the writers write nothing.
void init_sg();
void sg_title(const char* title);                          // "\n<title>\n\n"
void sg(const char* type, const char* name, const void* ptr);  // "<name>\t\t*((<type>*)0x<ptr>)\n"
void end_sg();

}  // namespace tq
