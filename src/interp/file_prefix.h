// File prefixes and path pairs: how names under URL-like bases map onto real directories.
// Each registered database path gives a pair of directories, the documents tree (path +
// "tqdocs/") and the system tree (path + "tqsys/"), reached under a URL base. The get-file
// table says, per file name extension ("prefix"), agent and command, which of the two trees
// a file of that kind lives in, with a mode text for the commands that read it. Also this
// node's agent name and its server port.
//
// Invariants (all under prefix_lock):
//  - The pair list is ordered by descending url_base (l_strcmp), no two equal; so a longer
//    base sorts before a shorter one it begins with and the first match is the most specific.
//  - Pairs and get-file entries are only added or changed, never removed. A changed entry
//    gets fresh texts; readers take copies under the lock, so they never see half a change.
//  - agent_name is replaced whole under the lock; readers take a copy, or the lock-free
//    reader the name itself (replaced names are kept).
#pragma once
#include "lang/sexp.h"
#include "platform/lock.h"
#include "text/l_char.h"
#include "util/url.h"

namespace tq {

struct path_pair {
  L_CHAR* sys_path;   // base joined with "tqsys/" (debug heap)
  L_CHAR* docs_path;  // base joined with "tqdocs/"
  L_CHAR* url_base;
  path_pair* next;
};
using PATH_PAIR = path_pair;

// One get-file entry. Texts on the debug heap, owned by the entry.
struct TQ_GETFILE {
  TQ_GETFILE* next;
  int flags;  // bits 0-1 the trees (GF_*), bits 2-3 the lock of "Get" (GF_LOCK_*)
  L_CHAR* prefix;  // the extension with its "."
  L_CHAR* agent;
  L_CHAR* mode;
  L_CHAR* cmd_sym;  // the command word the entry serves
};
enum : int {
  GF_TREES = 3,
  GF_SYS_ONLY = 0,
  GF_DOCS_ONLY = 1,
  GF_SYS_FIRST = 2,
  GF_DOCS_FIRST = 3,
  GF_LOCK_URL = 4,   // one call lock on the name itself
  GF_LOCK_FULL = 8,  // one call lock on each full path tried
  GF_LOCK_MASK = 12,
};
inline constexpr int kGetfileBuckets = 100;

extern SEM prefix_lock;
// Makes prefix_lock; once, at the runtime's start-up.
void init_file_prefix();

// ---- The get-file table.
// The bucket of a prefix: the sum of its characters (unsigned 32-bit) modulo 100.
unsigned getfile_hash_key(const L_CHAR* prefix);
// prefix_lock held: the entry with equal prefix and agent (and cmd_sym when cmd is given).
TQ_GETFILE* _search_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* cmd);
// prefix_lock held: an existing entry (prefix, agent, cmd) gets copies of mode and cmd and
// the flags; otherwise a new entry with copies of the four texts goes to its bucket's head.
void _insert_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* mode, int flags, const L_CHAR* cmd);
// _insert_getfile for each element of the list cmds, under the lock. Every element must be
// a string: otherwise nothing is inserted and the result is -1 (else 0).
int insert_getfile(const L_CHAR* prefix, const L_CHAR* agent, const L_CHAR* mode, int flags, TQ_SEXP* cmds);
// Copies (debug heap, chained through next, in bucket order) of every entry of prefix,
// any agent and command; null when none. Free with free_getfile_entries.
TQ_GETFILE* getfile_entries(const L_CHAR* prefix);
void free_getfile_entries(TQ_GETFILE* list);

// ---- Path pairs.
// Registers the pair (path + "tqsys/", path + "tqdocs/", url) in order; a pair with an equal
// url_base keeps its place and the new one is dropped. 0, or -1 for a null argument.
int Reg_List_pathpair(const L_CHAR* path, const L_CHAR* url);
// The list (docs_path sys_path url_base) of strings of the first pair whose docs_path begins
// path (a "/" added to path when it has none at its end); nil when none does.
TQ_SEXP* get_pathpair(const L_CHAR* path);
// f mapped onto the documents (system) tree: a new debug-heap text; null when no pair maps
// it (no pair's url_base begins it and no root pair "/" exists). A leading "//" counts as "/".
L_CHAR* get_tqdocs(const L_CHAR* f);
L_CHAR* get_tqsys(const L_CHAR* f);
// The URL's file path (get_url_filepath) mapped likewise; the _apppath forms joined with c.
L_CHAR* get_tqdocs_path(const URL* u);
L_CHAR* get_tqsys_path(const URL* u);
L_CHAR* get_tqdocs_apppath(const URL* u, const char* c);
L_CHAR* get_tqsys_apppath(const URL* u, const char* c);
// The system tree of the pair the root path maps to, joined with c; null without one.
L_CHAR* get_sys_path(const char* c);
// A real path mapped back to its URL path: the first pair whose docs_path (else sys_path)
// begins fullpath gives its url_base joined with the rest; else a copy of userpath (null
// stays null). New debug-heap text.
L_CHAR* get_url_path(const L_CHAR* fullpath, const L_CHAR* userpath);
// Bit 0: filepath opens read-only under its documents mapping; bit 1: under its system one.
int path_check(const L_CHAR* filepath);
// b followed by filepath: a "/" put between when b does not end in "/" and filepath begins
// with neither "/" nor "."; one of two meeting "/" dropped. New debug-heap text.
L_CHAR* get_synth_path(const L_CHAR* b, const L_CHAR* filepath);
L_CHAR* get_append_path(const L_CHAR* d, const char* c);  // c in the default code method

// ---- This node.
// Replaces the agent name (a copy is kept; null clears it).
void set_agent_name(const L_CHAR* name);
L_CHAR* get_agent_name();  // a debug-heap copy, or null when unset
// The agent name without a copy or a lock (the log stamps every record with it): a replaced
// name is kept, so the text stays valid for the process. Null when unset.
const L_CHAR* agent_name_now();

// Whether name reaches the file system as written: its characters, in the default code
// method, decode back to the same characters. A character of another set that the method
// writes as "." or "/" or as a 0 byte would otherwise pass the checks of the name.
bool reaches_files_as_written(const L_CHAR* name);

// Resolves a command's file: the name must be absolute, free of "..", reach the file system
// as written (every character survives the default code method both ways), and end in an
// extension that has an entry for this agent and func. On success null, *gf filled with
// the entry's flags and a copy of its mode (free with clear_getfile), target[0] and (for
// flags 2 and 3) target[1] new texts under the two trees in the entry's order. On failure
// the error cell, positioned at s, with func as its site: 0x80010507 "dbpath and agent name
// is undefined" (no agent name, or no pair maps the name), 0x80040503 "invalid file path",
// 0x8004070e "undefined prefix". Takes prefix_lock.
TQ_SEXP* get_path(L_CHAR* target[2], TQ_GETFILE* gf, const L_CHAR* filename, TQ_SEXP* s, const char* func);
void clear_getfile(TQ_GETFILE* gf);
// Whether path, a target get_path made for name in the documents (docs) or system tree, lies
// inside that tree once every link of both is followed: 1 inside, 0 outside (or no pair maps
// name), -1 when path does not resolve (no such file).
int path_in_tree(const L_CHAR* name, const L_CHAR* path, bool docs);

// This node's server port: "ServerPort" of top environment 1, read once and cached when it
// is an integer. An interruption while reading answers 0 and caches nothing; any other error
// or a value that is not an integer is printed after "type missmatch" on the error stream
// and also answers 0 uncached, so a later setting is still read.
int get_my_port();

}  // namespace tq
