// The serial port list from the kernel's device registry (sysfs): a tty with a "device"
// link belongs to real (or possible) hardware; the others are virtual consoles and
// pseudo terminals.
#include "platform/serial_ports.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/d_alloc.h"

namespace tq {

namespace {

char* heap_copy(const std::string& s) {
  char* d = static_cast<char*>(d_alloc(s.size() + 1));
  memcpy(d, s.c_str(), s.size() + 1);
  return d;
}

}  // namespace

SERIAL_PORT_INFO* build_serial_port_list(const char* tty_dir) {
  DIR* dir = opendir(tty_dir);
  if (!dir) {
    printf("createSerialIterator failed\n");
    fflush(stdout);
    return nullptr;
  }
  std::vector<std::string> names;
  while (dirent* d = readdir(dir)) {
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (stat((std::string(tty_dir) + "/" + name + "/device").c_str(), &st) == 0) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());  // readdir's order is arbitrary
  SERIAL_PORT_INFO* list = nullptr;
  for (const std::string& name : names) {
    auto* p = static_cast<SERIAL_PORT_INFO*>(d_calloc(1, sizeof(SERIAL_PORT_INFO)));
    p->name = heap_copy(name);
    p->info = heap_copy("/dev/" + name);
    p->next = list;
    list = p;
  }
  return list;
}

void free_serial_port_list(SERIAL_PORT_INFO* list) {
  while (list) {
    SERIAL_PORT_INFO* next = list->next;
    d_f_ree(list->name);
    d_f_ree(list->info);
    d_f_ree(list);
    list = next;
  }
}

SERIAL_PORT_INFO* lookup_serial_port() {
  static SERIAL_PORT_INFO* const serial_port_list = build_serial_port_list("/sys/class/tty");
  return serial_port_list;
}

}  // namespace tq
