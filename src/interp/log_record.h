// Log records: the record every log line becomes (time, level, layer, an origin URL, user,
// key and message), its sixteen fields addressed by index for conditions and path
// templates, the level and layer names, copies, the (Log ...) form that carries a record to
// another node, and the path templates that put record fields into file names.
#pragma once
#include <cstdint>

#include "lang/sexp.h"
#include "text/l_char.h"
#include "util/sys_queue.h"
#include "util/url.h"

namespace tq {

// The record's data. Fields are addressed by index 0..15 (log_field_*): 0 time, 1 level,
// 2..11 the URL's proto, server, port, agent, db, resource, query, name, user, passwd,
// 12 layer, 13 user, 14 key, 15 data. Indexes 0, 1, 4 and 12 are integers, the others
// owned debug-heap texts that may be null.
struct LOG_NODE_DATA_D {
  int time;   // seconds since 2001-01-01 00:00 UTC
  int level;  // LOG_TEST .. LOG_MESSAGE
  URL u;      // origin
  int layer;  // LOG_NANE .. LOG_UI
  L_CHAR* user;
  L_CHAR* key;
  L_CHAR* data;  // the message
};
struct LOG_NODE_DATA {
  LOG_NODE_DATA_D d;
};

struct LOG_ACTION;

// One queued record.
struct LOG_NODE {
  Q_HEADER h;
  LOG_NODE_DATA d;
  // On a parked copy: its own copy of the action that parked it (without path), so that a
  // change of the conditions leaves it valid; else null.
  LOG_ACTION* wait_action;
  // Bytes of the record's block when texts of its own lie in the block behind it (the
  // hook's records: one allocation each); such texts are freed with the block. 0 otherwise.
  int block;
};

enum : int { LOG_TEST = 0, LOG_DEBUG = 1, LOG_WARNING = 2, LOG_ERROR = 3, LOG_SYSTEM = 4, LOG_MESSAGE = 5 };
enum : int { LOG_NANE = 0, LOG_LIB = 1, LOG_TQOHTTP = 2, LOG_STREAM = 3, LOG_TQ = 4, LOG_QV = 5, LOG_UI = 6 };
inline constexpr int kLogLevels = 6;
inline constexpr int kLogLayers = 7;
inline constexpr int kLogFields = 16;
extern const char* const log_level_msg[kLogLevels];  // "TEST" .. "MESSAGE"
extern const char* const log_layer[kLogLayers];      // "NANE" .. "UI"

// ---- fields by index ------------------------------------------------------------------------

inline constexpr bool log_field_is_int(int index) { return (0x1013 >> index) & 1; }
int* log_field_int(LOG_NODE_DATA* d, int index);      // index must be an integer field
L_CHAR** log_field_text(LOG_NODE_DATA* d, int index);  // index must be a text field
// The field index of a record field name ("time", "level", "URL.proto", "URL.server",
// "URL.port", "URL.agent", "URL.database", "URL.resource", "user", "key", "data"), or -1.
int log_field_index(const L_CHAR* name);

// ---- records -----------------------------------------------------------------------------------

// Frees every text of the data (not the data itself).
void free_v_log_node_data(LOG_NODE_DATA* d);
// to := deep copies of from's time, level, layer, URL, user, key and data (to's texts are
// not freed first).
void copy_log_node_data(LOG_NODE_DATA* to, const LOG_NODE_DATA* from);
// The same for the fields whose bit (1 << index) skip leaves clear.
void copy_log_node_fields(LOG_NODE_DATA* to, const LOG_NODE_DATA* from, unsigned skip);
LOG_NODE* new_log_node();  // zeroed, on the debug heap
// A copy of an action for a parked record: its fields but path and links.
LOG_ACTION* copy_wait_action(const LOG_ACTION* a);
LOG_NODE* copy_log_node(const LOG_NODE* n);  // data and wait_action copied
void free_log_node(LOG_NODE* n);             // data, wait_action, the header's key and the block
void free_log_node_parts(LOG_NODE* n);       // the same but the block, kept for another record

// The name of a level or layer, or null outside the tables.
const char* log_level_name(int level);
const char* log_layer_name(int layer);

// (Log (time T) (level NAME) (URL TEXT) [(layer NAME)] [(user TEXT)] [(data TEXT)]): time
// an integer with unit "sec"; the URL's text is empty without proto; layer only when not 0,
// user and data only when set. A level or layer outside its table is given as an integer.
TQ_SEXP* get_log_node_sexp(LOG_NODE_DATA* d);
// Reads such a form into d, field by field in the order time, level, URL, layer, user,
// data; a missing sub-list is skipped; the first one of a wrong type, or an unknown level or
// layer name, ends the reading (what was read stays).
void get_log_node_data_from_sexp(LOG_NODE_DATA* d, TQ_SEXP* form);

// ---- path templates ------------------------------------------------------------------------------

// The value of template name for the record d (may be null): "preference" the per-user
// preference folder; a record field name that field's value ("%i" for integers, the text,
// the empty text for a null text) with every "/" made "_" and every ".." made "__", so that
// a value never adds a folder level or climbs out. Null for another name, or for a field
// name without a record. A new debug-heap text.
L_CHAR* get_sym_data(LOG_NODE_DATA* d, const L_CHAR* name);
// The template with every "\{name}" that has a value replaced by it; an unknown name or an
// opening "\{" without "}" stays as written. A new debug-heap text.
L_CHAR* parse_dir_path(LOG_NODE_DATA* d, const L_CHAR* tmpl);
// The narrow file name path + "log" + no (debug heap).
char* get_logfile(const L_CHAR* path, int no);

}  // namespace tq
