// Filling a resolver answer (hostent plus its buffer) from plain values, for the test host
// sources that stand in for the machine's resolver.
#pragma once
#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace tqtest {

// Writes name, aliases and addresses (host order) into ret and buf as the reentrant glibc
// calls do: 0 with *result set, or ERANGE with NETDB_INTERNAL when buf is too small.
inline int fill_hostent(const std::string& name, const std::vector<std::string>& aliases,
                        const std::vector<uint32_t>& ips, hostent* ret, char* buf, size_t len,
                        hostent** result, int* h_err) {
  const size_t na = aliases.size(), ni = ips.size();
  size_t need = (na + 1 + ni + 1) * sizeof(char*) + ni * 4 + name.size() + 1;
  for (const std::string& a : aliases) need += a.size() + 1;
  *result = nullptr;
  if (len < need) {
    *h_err = NETDB_INTERNAL;
    return ERANGE;
  }
  auto** alias_list = reinterpret_cast<char**>(buf);
  auto** addrs = alias_list + na + 1;
  char* p = reinterpret_cast<char*>(addrs + ni + 1);
  for (size_t i = 0; i < ni; ++i) {
    const uint32_t net = htonl(ips[i]);
    memcpy(p, &net, 4);
    addrs[i] = p;
    p += 4;
  }
  addrs[ni] = nullptr;
  auto put = [&p](const std::string& s) {
    memcpy(p, s.c_str(), s.size() + 1);
    char* at = p;
    p += s.size() + 1;
    return at;
  };
  ret->h_name = put(name);
  for (size_t i = 0; i < na; ++i) alias_list[i] = put(aliases[i]);
  alias_list[na] = nullptr;
  ret->h_aliases = alias_list;
  ret->h_addrtype = AF_INET;
  ret->h_length = 4;
  ret->h_addr_list = addrs;
  *result = ret;
  *h_err = 0;
  return 0;
}

inline int hostent_not_found(hostent** result, int* h_err) {
  *result = nullptr;
  *h_err = HOST_NOT_FOUND;
  return ENOENT;
}

}  // namespace tqtest
