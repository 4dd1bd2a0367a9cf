#include "child_config.hpp"

#include <arpa/inet.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "qelmq/protocol/config.h"

namespace qelc {

namespace {

constexpr const char* kVariable = qel_wire::kConfigVariable;

// The runtime takes a dotted IPv4 address of at most 15 characters.
bool usableAddress(const std::string& host) {
  in_addr a;
  return host.size() <= qel_wire::kMaxAddressLength && inet_pton(AF_INET, host.c_str(), &a) == 1 &&
         host != "0.0.0.0";
}

}  // namespace

ChildConfig::~ChildConfig() {
  if (!path_.empty()) unlink(path_.c_str());
}

std::string ChildConfig::configText(const std::string& address) {
  return std::string("# written by qelcollect for the processes of one run\n") +
         qel_wire::kKeyAddress + "=" + address + "\n" + qel_wire::kKeyMode + "=" +
         qel_wire::kConnectMode + "\n";
}

bool ChildConfig::prepare(bool haveCommand, bool hostGiven, ReceiverOptions& recv,
                          std::string& error) {
  if (!haveCommand || recv.portOffset != 0) return true;
  if (hostGiven && !recv.bind) return true;  // the user connects to a program elsewhere
  if (!recv.bind) recv.host = "127.0.0.1";
  recv.bind = true;
  address_ = usableAddress(recv.host) ? recv.host : "127.0.0.1";

  const char* dir = std::getenv("TMPDIR");
  std::string pattern = std::string(dir && *dir ? dir : "/tmp") + "/qelcollect-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    error = "cannot create a configuration file in " + pattern + ": " + std::strerror(errno);
    return false;
  }
  path_ = name.data();
  const std::string text = configText(address_);
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int writeErr = errno;
  close(fd);
  if (!ok) {
    error = "cannot write " + path_ + ": " + std::strerror(writeErr);
    return false;
  }
  return true;
}

char** ChildConfig::environment(char** base) {
  envStrings_.clear();
  const std::string prefix = std::string(kVariable) + "=";
  for (char** e = base; e && *e; ++e)
    if (std::strncmp(*e, prefix.c_str(), prefix.size()) != 0) envStrings_.emplace_back(*e);
  envStrings_.push_back(prefix + path_);
  env_.clear();
  for (std::string& s : envStrings_) env_.push_back(s.data());
  env_.push_back(nullptr);
  return env_.data();
}

}  // namespace qelc
