// The lexer: bytes of a reader's stream become 32-bit characters (through the reader's code
// method, with one character of push-back), references become marked characters, and a
// state machine over them finds the tokens of the one syntax that mixes S-expressions and
// XML-like markup. The token makers turn the gathered text into cells; above them the tag
// layer (qv_lex) gathers a start tag and its attributes into one token and skips comments.
//
// All lexer state lives in the reader record TQ_FILE (lang/tq_file.h) and survives between
// calls. The lexer takes no lock: one thread at a time reads a given reader (the parser's
// kRfRealising bit). Errors are never returned as tokens: each becomes an error cell queued
// at the front of f->lex_error (func "lex", line token_head_line) and the token request
// answers 0 (an unterminated string, or a word holding an invalid reference, answers its
// token); the parser then delivers the queued errors in place of the token. With
// kRfTokenAfterErrors set, the token answered is text that follows a broken tag or field
// description: the parser delivers the errors, then reads it. Only the end of the text
// answers 0 without an error (checked in the test builds, at the parser's end of input).
//
// Limits that keep hostile input harmless: a token holds at most lex_token_cap characters
// (past it the token is dropped with "token error"), a raw block announces at most kRawCap
// bytes, and its buffer grows as the bytes arrive rather than at the announcement.
#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "lang/gc.h"
#include "lang/sexp.h"
#include "lang/tq_file.h"
#include "text/code_method.h"

namespace tq {

// A constant L_CHAR text made at compile time from a plain ASCII literal.
template <size_t N>
struct LText {
  L_CHAR s[N];
  consteval LText(const char (&t)[N]) : s{} {  // NOLINT: implicit from literals on purpose
    for (size_t i = 0; i < N; ++i) s[i] = static_cast<unsigned char>(t[i]);
  }
  operator const L_CHAR*() const { return s; }
};

// ---- Token values of qv_lex and _qv_lex.
enum : int {
  kTokClosed = -1,          // the reader is closed (f->error = -257)
  kTokEnd = 0,              // end of input, or a token dropped after an error was queued
  kTokCancel = 3,           // the character 3
  kTokQuote = 0x27,
  kTokOpen = 0x28,
  kTokClose = 0x29,
  kTokEquals = 0x3D,        // field descriptions and tags
  kTokGreater = 0x3E,       // a bare ">" ending a tag
  kTokLBracket = 0x5B,      // opens a field description (consumed by the tag layer)
  kTokRBracket = 0x5D,
  kTokAttrValue = 0x100,    // a quoted attribute value: string without the quotes
  kTokAttrName = 0x200,     // an attribute name: string
  kTokEndPi = 0x303,        // "?>"
  kTokEndDecl = 0x304,      // "!>"
  kTokEndBracket = 0x305,   // "]>"
  kTokEndEmpty = 0x307,     // "/>"
  kTokCommentEnd = 0x308,   // "-->"
  kTokStartTag = 0x400,     // a complete start tag: symbol with its attributes
  kTokStartTagOpen = 0x401, // a start tag whose attributes follow (between the layers only)
  kTokPi = 0x403,           // "<?name": symbol "?name"
  kTokDecl = 0x404,         // "<!name": symbol "!name"
  kTokBracketTag = 0x405,   // "<[" alone
  kTokEndTag = 0x406,       // "</name": symbol
  kTokEmptyTag = 0x407,     // "<name/>" or an HTML empty element
  kTokCommentStart = 0x408, // "<!--" (between the layers only)
  kTokDatum = 0x500,        // the datum's cell is f->sexp
  kTokErrorLiteral = 0x600, // "%E": an error cell in f->sexp for the parser to complete
};

// States of the state machine (TQ_FILE::mode). 0 and 1 are the two contexts, told apart by
// kRfSexpContext.
enum : int {
  kLexContent = 0,
  kLexSexp = 1,
  kLexAtom = 2,
  kLexString = 3,
  kLexComment = 4,
  kLexRaw = 5,
  kLexText = -1,
  kLexTagName = -2,
  kLexValue = -3,
  kLexAttrName = -4,
  kLexInTag = -5,
  kLexTagEnd = -6,        // after "!", "/" or "?" inside a tag
  kLexTagEndBracket = -7, // after "]" inside a tag
  kLexMarkupComment = -9,
  kLexCommentDash = -10,
  kLexCommentDashes = -11,
  kLexNumber = -12,
  kLexBlanks = -13,
  kLexCdata = -14,
};

// The most characters one token may hold; a longer one is dropped with "token error"
// ("token too long"). A variable so that tests can reach it cheaply.
inline constexpr int kTokenCap = 1 << 24;
extern int lex_token_cap;
// The largest raw block "#%x#" may announce; a larger, empty or non-hexadecimal length is
// "token error" ("invalid raw length").
inline constexpr int64_t kRawCap = INT32_MAX;
// First size of a raw block's buffer, which then doubles as bytes arrive.
inline constexpr size_t kRawFirstChunk = 64 * 1024;
// The raw buffer's allocator (std::realloc); a null answer makes the block an error cell
// ("cannot allocate raw data") after its announced bytes have been skipped. Tests replace it.
extern void* (*lex_raw_realloc)(void* p, size_t size);

// ---- Tokens.
// The next token of f (the tag layer): any value above except 0x401, 0x408, and the tag
// grammar's own tokens, which come through only where they stand outside a tag.
int qv_lex(TQ_FILE* f);
int __qv_lex(TQ_FILE* f);
// One token of the state machine; ent_mode 1 expands references, 0 reads them as they are.
int _qv_lex(TQ_FILE* f, int ent_mode);

// Gives up, for its lifetime, the hold of the parse lock under which a realisation lexes f
// on this thread (nothing when there is none): around calls that may wait or that reach
// the reader's owner.
class ParseCallOut {
 public:
  explicit ParseCallOut(TQ_FILE* f);
  ~ParseCallOut();
  ParseCallOut(const ParseCallOut&) = delete;
  ParseCallOut& operator=(const ParseCallOut&) = delete;

 private:
  TQ_FILE* f_;
};

// True when this thread reads f ahead of the cell asked for: a read that needs the stream
// must then touch neither it nor the reader (answer as at the end of input, without
// closing); the realisation rolls the token back.
bool lex_read_stalls(TQ_FILE* f);
// Whether f's input has ended for this reading: the reader is closed, or a read ahead stalled.
// A 0 the lexer answers otherwise followed a NUL byte or an error that dropped a token.
bool lex_input_ended(const TQ_FILE* f);
// Whether the lexer's last answer of 0 for f (on this thread) was the end of its text: a 0
// it read (the end of input, a NUL byte), or the input ended. Every other 0 goes with a
// queued error, and the parser, which delivers the error, reads on.
bool lex_end_read(const TQ_FILE* f);
// Whether the token the lexer last answered for f (on this thread) holds an invalid reference.
// The token is dropped for that error alone: no other error that would show its text (a token
// error of its length, unit, tag name or tag end) is queued for it.
bool lex_word_broken(const TQ_FILE* f);
// Whether code method cm decodes a byte below 0x80 as itself whenever no sequence is pending,
// and ends any pending sequence at such a byte. Inline: the lexer asks it per token.
inline bool lex_cm_ascii_transparent(const CODE_METHOD* cm) {
  return cm == &euc_cm_rec || cm == &utf8_cm_rec || cm == &sjis_cm_rec || cm == &ascii_cm_rec;
}

// ---- Characters.
// 1 with a character in *ch, 0 at end of stream, negative on a read error (errno set).
int get_long_char(L_CHAR* ch, TQ_FILE* f);
// The next character (0 at the end, which closes the reader; a read failure also queues
// 0x80010101) and its reference mark in *ent_flag.
L_CHAR get_1char(TQ_FILE* f, int* ent_flag);
// Pushes back one character with its mark; the next get_1char returns it.
void put_1char(TQ_FILE* f, L_CHAR ch, int ent_flag);
// Up to len raw bytes (no code method), first from the read buffer: the count read.
int get_nchar(TQ_FILE* f, uint8_t* buf, int len);
// The next character after reference expansion (mode nonzero) or as read (mode 0); *ent_flag
// is 1 for a character that came from a numeric reference. 0 at the end; 0 marked after an
// invalid reference (0x80020508 queued), which is read up to its ";", or up to a blank, a
// line end or one of <>()[]"' (left to be read). Mode 2 replays a defined entity's reference
// as it was written ("&" marked, the name, ";") instead of expanding it.
L_CHAR qv_lex_entity(int* ent_flag, TQ_FILE* f, int mode);

// ---- The token text (f->yytext, collected memory).
void put_data_slow(TQ_FILE* f, L_CHAR ch);
// Appends; past lex_token_cap only the tail moves on. Inline: the lexer calls it per character.
inline void put_data(TQ_FILE* f, L_CHAR ch) {
  if (f->yylen + 1 < f->yytextlen && f->yylen < lex_token_cap)
    f->yytext[f->yylen++] = ch;
  else
    put_data_slow(f, ch);
}
void reset_yytext(TQ_FILE* f);         // drops the text
void token_head(TQ_FILE* f);           // token_head_line = line
bool token_overflowed(const TQ_FILE* f);
// The text as a string the caller keeps (an exact copy in collected memory, ended by 0); the
// token text is then empty. The buffer itself stays with the reader for the next token.
L_CHAR* take_yytext(TQ_FILE* f);
void* lex_mrealloc(void* p, size_t size, GC_FUNC gc_func);  // allocates when p is null
// Exercises the debug heap with 10000 blocks of 1 to 10000 bytes between "%s...\n" and
// "%s...END\n" on standard error.
void test_mem(const char* str);

// Sets (on) or clears the lexer's own bits of f->flags (kRfSexpContext, kRfEqualsToken,
// kRfTokenAfterErrors), which only the reading thread changes: the atomic update is made only
// when they change.
inline void lex_set_bits(TQ_FILE* f, int bits, bool on) {
  const int v = f->flags;
  if (on ? (v & bits) == bits : !(v & bits)) return;
  if (on)
    f->flags |= bits;
  else
    f->flags &= ~bits;
}

// ---- Reader settings.
void set_parseflags(TQ_FILE* f, int set_flags, int res_flags);  // sets, then clears
void set_file_line(TQ_FILE* f, int line);
void pt_line(TQ_FILE* f);  // line = the number after the first two characters of the text
// Switches the reader that cell s was read from to code method cm (its stream too).
void tq_set_cm(TQ_SEXP* s, CODE_METHOD* cm);

// ---- Entities. Texts are copied into collected memory; replacement texts must not be empty.
void new_entity(TQ_FILE* f, const L_CHAR* name, const L_CHAR* data);
ENTITY* search_entity(TQ_FILE* f, const L_CHAR* name);  // first of that name, or null
// The three every reader starts with: "lt", "amp" and "quot" ("&#x22;", the double quote).
void define_standard_entities(TQ_FILE* f);

// ---- Errors. One element of an error's data: a byte text (default code method) or a
// 32-bit text (null gives the empty string).
struct LexText {
  LexText(const char* t) : n(t) {}    // NOLINT: implicit on purpose
  LexText(const L_CHAR* t) : l(t) {}  // NOLINT
  const char* n = nullptr;
  const L_CHAR* l = nullptr;
};
// Queues at the front of f->lex_error an error (func "lex", line token_head_line) whose data
// is the list of the given texts.
void lex_queue_error(TQ_FILE* f, uint32_t code, std::initializer_list<LexText> data);

// ---- Token makers: each makes the cell of the token text (f->sexp) under one hold of the
// memory lock, empties the text and returns the token value, or queues an error and
// returns 0. A text past lex_token_cap is refused with "token error" ("token too long").
// The cell is made and filled in that hold, so no collection reads it half made: lex_cell
// makes it and ends the process ("lex_cell") when the caller holds no memory lock.
TQ_SEXP* lex_cell(TQ_FILE* f, int32_t type);
int get_token(TQ_FILE* f);       // S-expression token: string, number, symbol, error literal
int token_raw(TQ_FILE* f);       // the "#%x#" just gathered: reads the bytes, a raw cell
int get_x_tag(TQ_FILE* f);       // "<..." from the tag-name state
int get_x_tag_end(TQ_FILE* f);   // "?>", "!>", "]>", "/>"
int get_x_tfield(TQ_FILE* f);    // attribute name, 0x200
int get_x_ttext(TQ_FILE* f);     // quoted attribute value, 0x100
int get_x_text(TQ_FILE* f);      // markup text or markup number, 0x500
int get_x_number(TQ_FILE* f);
int get_x_symbol(TQ_FILE* f);    // the text as a markup symbol
// Shared by the makers: the value of a hexadecimal digit (-1 for another character); the
// integer the first n characters write (sign, then "0x" hexadecimal, "0" octal or decimal,
// stopping at the first character that does not fit, saturating); the float they write.
int lex_hex_digit(L_CHAR c);
int64_t lex_scan_integer(const L_CHAR* t, int n);
double lex_scan_float(const L_CHAR* t, int n);
int lex_token_too_long(TQ_FILE* f);  // drops an overlong token with "token error"
// 0 when symbol s names an HTML empty element (exact match), else -1. s must be a symbol.
int check_html_emp(TQ_SEXP* s);
// 0x500 when str may be a unit suffix of a markup number, else 0x600.
int check_unit_string(const L_CHAR* str);

}  // namespace tq
