// The serial port list: ttys with a "device" link, named and pathed, newest found first;
// a registry that cannot be read; the process-wide list built once.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/serial_ports.h"
#include "support/test_util.h"

using namespace tq;

namespace {

std::vector<std::string> listed(SERIAL_PORT_INFO* p) {
  std::vector<std::string> v;
  for (; p; p = p->next) v.push_back(std::string(p->name) + " " + p->info);
  return v;
}

TEST(SerialPorts, TtysWithADeviceAreListedLastNameFirst) {
  tqtest::TempDir dir;
  for (const char* tty : {"ttyS0", "tty0", "ttyUSB0", "ttyS1", "ptmx"}) mkdir(dir.file(tty).c_str(), 0755);
  for (const char* dev : {"ttyS0", "ttyUSB0", "ttyS1"}) mkdir(dir.file(std::string(dev) + "/device").c_str(), 0755);
  tqtest::write_file(dir.file("stray-file"), "x");
  SERIAL_PORT_INFO* list = build_serial_port_list(dir.path().c_str());
  EXPECT_EQ(listed(list), (std::vector<std::string>{"ttyUSB0 /dev/ttyUSB0", "ttyS1 /dev/ttyS1", "ttyS0 /dev/ttyS0"}));
  free_serial_port_list(list);
}

TEST(SerialPorts, NoPortsGivesNone) {
  tqtest::TempDir dir;
  mkdir(dir.file("tty1").c_str(), 0755);
  EXPECT_EQ(build_serial_port_list(dir.path().c_str()), nullptr);
}

TEST(SerialPorts, UnreadableRegistryIsReported) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(build_serial_port_list("/nonexistent-dir-of-tq-tests/tty"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "createSerialIterator failed\n");
}

TEST(SerialPorts, MachineListIsBuiltOnce) {
  SERIAL_PORT_INFO* first = lookup_serial_port();
  EXPECT_EQ(lookup_serial_port(), first);
  for (SERIAL_PORT_INFO* p = first; p; p = p->next) EXPECT_EQ(std::string(p->info), std::string("/dev/") + p->name);
}

}  // namespace
