// A host database and resolver configuration of the test's own, put in place of glibc's
// through the resolver's seams, so that no test depends on (or reaches) the machine's
// resolver. Installed once per test program and never taken away: the blacklist's
// background retries may ask it at any time.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/resolve.h"
#include "support/host_entry.h"
#include "support/test_util.h"

namespace fakehosts {

struct Host {
  std::string name;
  std::vector<std::string> aliases;
  std::vector<uint32_t> ips;  // host order
};

class FakeHosts {
 public:
  static FakeHosts& get() {
    static FakeHosts* f = instance_ = new FakeHosts();  // lives for the process: retries use it
    return *f;
  }

  // Adds hosts (later ones after earlier ones in a scan).
  void add(const std::vector<Host>& hosts) {
    std::lock_guard<std::mutex> g(mu_);
    for (const Host& h : hosts) hosts_.push_back(h);
  }
  // Replaces every host.
  void set(const std::vector<Host>& hosts) {
    std::lock_guard<std::mutex> g(mu_);
    hosts_ = hosts;
  }
  // The "domain" line of the resolver configuration; empty for none. Forgets the local host.
  void set_domain(const std::string& domain) {
    tqtest::write_file(conf_path_, domain.empty() ? "nameserver 127.0.0.1\n" : "search x\ndomain " + domain + "\n");
    tq::forget_local_host();
  }
  // Lookups of this name block until release() (at most 20 s).
  void hold(const std::string& name) {
    std::lock_guard<std::mutex> g(mu_);
    held_ = name;
    released_ = false;
  }
  void release() { released_ = true; }
  bool holding() const { return holding_.load(); }
  static void remove_files() {
    if (instance_) {
      delete instance_->dir_;
      instance_->dir_ = nullptr;
    }
  }

  std::atomic<int> byname_calls{0};
  std::atomic<int> byaddr_calls{0};
  // Lookups of one name only: other threads (the blacklist's retries of names that earlier
  // tests left failing) ask at any time, and are not counted here.
  int byname_calls_for(const std::string& name) {
    std::lock_guard<std::mutex> g(mu_);
    return by_name_[name];
  }
  int byaddr_calls_for(uint32_t ip) {  // host order
    std::lock_guard<std::mutex> g(mu_);
    return by_addr_[ip];
  }

 private:
  FakeHosts() : dir_(new tqtest::TempDir()), conf_path_(dir_->file("resolv.conf")) {
    set_domain("");
    tq::resolv_conf_path = conf_path_.c_str();
    tq::host_source = &source_;
  }

  static int fill(const Host& h, hostent* ret, char* buf, size_t len, hostent** result, int* h_err) {
    return tqtest::fill_hostent(h.name, h.aliases, h.ips, ret, buf, len, result, h_err);
  }

  static int not_found(hostent** result, int* h_err) { return tqtest::hostent_not_found(result, h_err); }

  void wait_if_held(const std::string& name) {
    {
      std::lock_guard<std::mutex> g(mu_);
      if (held_.empty() || held_ != name) return;
    }
    holding_ = true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!released_.load() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // signals do not shorten it
    holding_ = false;
  }

  static int byname(const char* name, hostent* ret, char* buf, size_t len, hostent** result, int* h_err) {
    FakeHosts& f = get();
    ++f.byname_calls;
    {
      std::lock_guard<std::mutex> g(f.mu_);
      ++f.by_name_[name];
    }
    f.wait_if_held(name);
    std::lock_guard<std::mutex> g(f.mu_);
    for (const Host& h : f.hosts_) {
      bool hit = h.name == name;
      for (const std::string& a : h.aliases) hit |= a == name;
      if (hit) return fill(h, ret, buf, len, result, h_err);
    }
    return not_found(result, h_err);
  }

  static int byaddr(const void* addr, socklen_t alen, int type, hostent* ret, char* buf, size_t len,
                    hostent** result, int* h_err) {
    FakeHosts& f = get();
    ++f.byaddr_calls;
    std::lock_guard<std::mutex> g(f.mu_);
    if (type != AF_INET || alen != 4) return not_found(result, h_err);
    uint32_t net;
    memcpy(&net, addr, 4);
    ++f.by_addr_[ntohl(net)];
    for (const Host& h : f.hosts_)
      for (uint32_t ip : h.ips)
        if (ip == ntohl(net)) return fill(h, ret, buf, len, result, h_err);
    return not_found(result, h_err);
  }

  static int ent(hostent* ret, char* buf, size_t len, hostent** result, int* h_err) {
    FakeHosts& f = get();
    std::lock_guard<std::mutex> g(f.mu_);
    if (f.cursor_ >= f.hosts_.size()) return not_found(result, h_err);
    const int r = fill(f.hosts_[f.cursor_], ret, buf, len, result, h_err);
    if (r == 0) ++f.cursor_;
    return r;
  }

  static void set_ent(int) {
    std::lock_guard<std::mutex> g(get().mu_);
    get().cursor_ = 0;
  }
  static void end_ent() { set_ent(0); }

  static inline FakeHosts* instance_;
  tqtest::TempDir* dir_;  // never removed while the process runs: the seam points into it
  std::string conf_path_;
  std::mutex mu_;
  std::vector<Host> hosts_;
  std::map<std::string, int> by_name_;
  std::map<uint32_t, int> by_addr_;
  size_t cursor_ = 0;
  std::string held_;
  std::atomic<bool> released_{false};
  std::atomic<bool> holding_{false};
  const tq::HOST_SOURCE source_{byname, byaddr, ent, set_ent, end_ent};
};

inline FakeHosts& install() { return FakeHosts::get(); }

// Removes the configuration folder once every test has run (u_exit runs no destructor).
class Cleanup : public testing::Environment {
 public:
  void TearDown() override { FakeHosts::remove_files(); }
};
inline const bool cleanup_registered = (testing::AddGlobalTestEnvironment(new Cleanup), true);

}  // namespace fakehosts
