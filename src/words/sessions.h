// The session and proxy words' shared state and helpers: this node's agent name and the
// server-list texts of the proxy words.
#pragma once
#include "remote/proxy.h"
#include "text/l_char.h"

namespace tq {

// This node's agent name (debug heap) or null; set by SetThisAgentName, replaced without a
// lock.
extern L_CHAR* agent_name;

// The next name of a server-list text (names separated by blanks, tabs, line ends or
// commas) from *text on, as a debug-heap copy; *text moves past it. Null when none is left.
char* get_server(const char** text);
// Every name of a server-list text as a list of entries of kind type, in the text's order;
// null when the text holds none. Free with free_server_list.
SERVER_LIST* get_da_server(const char* text, int type);

}  // namespace tq
