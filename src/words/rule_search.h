// The path-pattern search of "Rule": patterns of path elements ("*" in an element stands for
// one or more characters, an element "**" for one or more path elements), tried in order
// as Ignore or Accept against every file and directory under the current directory.
//
// Records live on the debug heap. One record type serves patterns and found paths:
//  - a pattern's type is kPatIgnore or kPatAccept; its elements are kElemDir (text that was
//    followed by "/"), kElemFile (the last text) or kElemAny (a last text exactly "**");
//  - a found path's type is kFoundOpen while it is examined and kFoundFinal once it is a
//    final match; its elements are kElemDir (a directory) or kElemFile (a regular file).
#pragma once
#include <cstdint>

namespace tq {

enum : int32_t { kElemDir = 1, kElemFile = 2, kElemAny = 3 };
enum : int32_t { kFoundOpen = 0, kPatIgnore = 1, kPatAccept = 2, kFoundFinal = 3 };

struct PATH_ELEMENT {
  int32_t type;
  char* name;  // owned
  uint64_t dev, ino;  // a found directory: which one (a link back up is not entered); else 0
};

struct PATH_PATTERN {
  PATH_PATTERN* next;  // found paths: the list
  int32_t type;
  int32_t path_len;
  PATH_ELEMENT* path;  // path_len elements, owned
};

// Fills pp's elements from a byte text: cut at every "/"; a leading "/" gives a first
// directory element "$" (so "" and "/" both give just that); a text followed by "/" is a
// directory element, also an empty one; the text after the last "/" is kElemAny when it is
// "**", else kElemFile, and is left out when empty. pp's type and next are not touched.
void parse_path(PATH_PATTERN* pp, const char* text);
// The element names joined by "/" (debug heap; "" for none).
char* make_name(const PATH_PATTERN* pp);

// The name test: "*" stands for one or more bytes; everything else must be equal.
bool compare_dir(const char* name, const char* pattern);
// Whether found path f passes pattern p in mode 0 (partial: f may stop short of p's end) or
// 1 (full), for some number of elements given to each "**" of p. A memoised match over
// (pattern element, path element): time bounded by the product of the lengths times the
// path's length, whatever the number of "**".
bool _compare_path(const PATH_PATTERN* f, const PATH_PATTERN* p, int mode);
// The first of the n patterns that f passes decides: true for Accept, false for Ignore;
// false when none passes.
bool compare_path(const PATH_PATTERN* f, const PATH_PATTERN* patterns, int n, int mode);

// The search: every path under "." kept by the full decision, with directories entered
// while the partial decision keeps what they hold. Each directory is listed once, in the
// order the system gives; the list's order follows from putting each kept path at the
// head of the next pass's list. Directories that cannot be opened and entries whose status
// cannot be read are reported on standard error and left out. A directory that is "." or
// one above it on its own path (reached through a link back up) may be a result but is not
// entered, so a loop of links cannot make the search endless.
PATH_PATTERN* filter_path(const PATH_PATTERN* patterns, int n);

void free_path_elements(PATH_ELEMENT* e, int n);
void free_path_pattern_list(PATH_PATTERN* list);         // a list of found paths
void free_path_pattern(PATH_PATTERN* patterns, int n);   // an array of n patterns

}  // namespace tq
