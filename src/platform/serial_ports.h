// The machine's serial ports, listed once for the life of the process: every tty of the
// device registry under /sys/class/tty that has a "device" link is a port
// {name, "/dev/<name>"}.
#pragma once
#include "platform/file.h"

namespace tq {

// The head of the port list (built on the first call), null when there is none.
SERIAL_PORT_INFO* lookup_serial_port();

// A new list of the ports under a tty folder laid out as /sys/class/tty, the last name in
// byte order first (each port goes to the head of the list as it is found). A folder that
// cannot be read prints "createSerialIterator failed\n" and gives null.
SERIAL_PORT_INFO* build_serial_port_list(const char* tty_dir);
void free_serial_port_list(SERIAL_PORT_INFO* list);

}  // namespace tq
