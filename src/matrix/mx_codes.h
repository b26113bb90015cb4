// The result codes of the matrix layer: negative ints -100 to -127, each with one meaning
// in every module of the store. The language words turn them into the error cell
// "Application System error" (0x8001160a); 0 is success throughout.
#pragma once
#include <cstdint>

namespace tq {

enum : int {
  MX_OK = 0,
  MX_SCRIPT_FAILED = -100,     // an event script failed (completion byte of a scan)
  MX_NO_NODE = -101,           // no such node, or a failed node was restarted
  MX_EDIT_FAILED = -102,       // node in an edit-failed state looked up with a negative access
  MX_PENDING = -103,           // node or matrix pending (loading, processing, opening)
  MX_BAD_INDEX = -104,         // bad channel, axis, slot or index, or making a vector failed
  MX_NO_AXES = -105,           // no axes declared yet, or the axis count set twice
  MX_SET_CHANNELS = -108,      // the channel count set twice
  MX_SET_TOTAL_LEVELS = -110,  // the fixed level count set twice
  MX_SET_PRIORITY = -111,      // a priority word set twice
  MX_SET_OPEN_METHOD = -112,   // the open hook set twice
  MX_SET_FILE_OPS = -113,      // one of the file and network operations set twice
  MX_SET_FLAGS = -114,         // the parameter flags set twice
  MX_SET_NEW_TOKEN = -115,     // the token-made hook set twice
  MX_SET_FREE_TOKEN = -116,    // the token-ended hook set twice
  MX_SET_TRIGGER = -117,       // the trigger hook set twice
  MX_SET_MODIFY_TIME = -118,   // the modification time set twice
  MX_NOT_OPEN = -121,          // the matrix is not open or is broken
  MX_NO_DATUM = -122,          // the channel has no datum and none may be created
  MX_NO_FILE = -123,           // no file work record, or the store file cannot be opened
  MX_FILE_HELD = -124,         // the store file is marked open by another holder
  MX_INTERRUPTED = -125,       // an event script was interrupted (break)
  MX_DIM_MISMATCH = -126,      // copy between matrices of different dimension counts
  MX_LOAD_FAILED = -127,       // the file access failed while a node was loaded
};

// A node's completion byte per access event (signed 8 bits): set when the event's script
// ends. The bytes 131 and 156 of a failed script read as the codes of an interruption and a
// failure.
inline constexpr int8_t MX_EVENT_WAITING = 0;
inline constexpr int8_t MX_EVENT_DONE = 1;
inline constexpr int8_t MX_EVENT_BREAK = int8_t(131);   // interrupted by a break
inline constexpr int8_t MX_EVENT_FAILED = int8_t(156);  // the script failed
static_assert(MX_EVENT_BREAK == int(MX_INTERRUPTED) && MX_EVENT_FAILED == int(MX_SCRIPT_FAILED));

}  // namespace tq
