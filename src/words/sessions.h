// The proxy words' server-list texts. (This node's agent name, which SetThisAgentName
// sets, is the log's: interp/log_record.h.)
#pragma once
#include "remote/proxy.h"

namespace tq {

// The next name of a server-list text (names separated by blanks, tabs, line ends or
// commas) from *text on, as a debug-heap copy; *text moves past it. Null when none is left.
char* get_server(const char** text);
// Every name of a server-list text as a list of entries of kind type, in the text's order;
// null when the text holds none. Free with free_server_list.
SERVER_LIST* get_da_server(const char* text, int type);

}  // namespace tq
