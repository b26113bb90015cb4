// The five version records and the SetAgent text.
#include "interp/versions.h"

#include <cstdio>
#include <cstring>

#include "platform/d_alloc.h"

namespace tq {

namespace {

constexpr const char* kPublisher = "TQ project";
constexpr const char* kLibVersion = "ver.B.b16.14(VORTH)";

}  // namespace

// The trailing blanks of three comments belong to the texts peers receive.
VERSION src_code_version{"SR.code", "MERIDOVANE.Architecture", kPublisher, kLibVersion, 2007, 10, 28, nullptr,
                         "MERIDOVANE source code "};
VERSION machine_code_version{"MA.code", "posix.MacOSX.Interface", kPublisher, kLibVersion, 2007, 10, 28, nullptr,
                             "machine (posix.MacOSX) dependent library "};
VERSION tq_lang_version{"TQ.lang", "TQ", kPublisher, "ver.0.1", 2001, 10, 16, nullptr, "TQ language version"};
VERSION tq_proto_version{"TQ.proto", "TQ", kPublisher, "ver.A.03", 2002, 10, 1, nullptr, "TQ protocol version"};
VERSION tq_code_version{"TQ.code", "TQ.lib", kPublisher, kLibVersion, 2007, 10, 28, nullptr, "TQ protocol library "};

void register_versions() {
  if (get_version("TQ.code") == &tq_code_version) return;
  set_version(&src_code_version);
  set_version(&machine_code_version);
  set_version(&tq_lang_version);
  set_version(&tq_proto_version);
  set_version(&tq_code_version);
}

char* make_setagent_text() {
  const size_t size = std::strlen(tq_code_version.name) + std::strlen(tq_code_version.version) + 20;
  auto* buf = static_cast<char*>(d_alloc(size));
  std::snprintf(buf, size, "%s/%s", tq_code_version.name, tq_code_version.version);
  return buf;
}

}  // namespace tq
