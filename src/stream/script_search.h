// Script search: a script name is tried as it is, beside a base file, in the current script
// directory and along the search paths of TQPATH and of the ".tqrc"/"tqrc" files; plus the
// current script directory and path normalisation. Paths are L_CHAR strings, turned into
// bytes with the default code method when a file is opened. Every string result is a new
// debug-heap string the caller frees.
#pragma once
#include "stream/stream.h"
#include "text/l_char.h"

namespace tq {

// One element of a path being normalised.
struct PATH_STACK {
  PATH_STACK* next;
  L_CHAR* path;  // an L_CHAR copy of the element
};

// The characters that separate the directories of a search path: ";", tab, newline,
// carriage return, blank and ":". Empty elements are skipped.
inline constexpr char kSearchPathSeparators[] = ";\t\n\r :";

// For each element of the search path `path`, in order: element + "/" (unless it already
// ends in "/" or "\") + name; the first that opens for reading as a file (not a directory)
// wins. Result: that directory with its "/", or null.
L_CHAR* _tqwhich(const L_CHAR* path, const L_CHAR* name);

// Reading an rc file needs the language reader, a higher layer: its start-up installs this
// hook. Given the open rc stream and a symbol name, it answers the second element of every
// top-level form whose head is that symbol (search-path strings), the last form first, as
// a null-ended debug-heap array of debug-heap strings; null when there are none. Until it is
// installed, rc files contribute nothing.
using TQRC_READER = L_CHAR** (*)(STREAM* s, const char* symbol);
extern TQRC_READER tqrc_reader;

// The strings that the rc file dir + "/" (unless dir ends in "/") + file names under
// `symbol`, as the reader hook answers them; null when the file cannot be opened or no
// hook is installed. The stream is closed afterwards. Free with free_tqrc.
L_CHAR** get_tqrc(const L_CHAR* dir, const L_CHAR* file, const char* symbol);
void free_tqrc(L_CHAR** list);
// _tqwhich along each TQPATH string of the rc file, in the list's order; the first hit.
L_CHAR* in_tqrc(const L_CHAR* dir, const L_CHAR* file, const L_CHAR* name);

// The directory (with its "/") in which name is found, trying in order and stopping at
// the first hit: TQPATH; ".tqrc" in HOME; "tqrc" in the preference directory; ".tqrc" in
// "/"; "tqrc" in "/.ptqconf". Null when none has it.
L_CHAR* get_tqwhich(const L_CHAR* name);

// The path of a script, or null: name itself if it opens; else null for a name beginning
// with "/"; else base's directory (up to its last "/") + name; else the script directory
// + name; else get_tqwhich(name) + name. The candidates that must open are tested as
// _tqwhich does. A text is converted for every candidate, so name (like get_tqwhich's)
// must not be a temporary of the conversions' ring.
L_CHAR* get_script(const L_CHAR* base, const L_CHAR* name);

// The current script directory, always ending in "/": null clears it; otherwise it becomes
// path up to and including its last "/", or "./" when there is none. Process-wide and
// unguarded: one thread (script loading) sets it at a time.
void set_script_path(const L_CHAR* path);
L_CHAR* get_script_path();  // a copy, or null when unset

// path when it begins with "/", else the script directory + path (path alone without
// one), normalised with optimize_path.
L_CHAR* get_absolute_path(const L_CHAR* path);
// The rest of path after the script directory when path begins with it, else a copy.
L_CHAR* get_relative_path(const L_CHAR* path);

// The normalised path: "." elements dropped (a leading "./" and a final "." after a name
// kept), ".." removing the real name before it (never another ".." or "."), ".." at the
// root dropped, repeated "/" taken as one; a leading and a trailing "/" kept. A relative
// path that normalises to nothing gives ".".
L_CHAR* optimize_path(const L_CHAR* path);

}  // namespace tq
