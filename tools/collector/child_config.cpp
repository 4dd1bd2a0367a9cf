#include "child_config.hpp"

#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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
  if (dir_.empty()) return;
  // Spool files written after the run's spool was read (a process that
  // outlived the command) go with the directory: the run is over. Never
  // without a word.
  if (!spoolDir_.empty()) {
    const std::size_t late = removeSpool(spoolDir_);
    if (late > 0)
      std::fprintf(stderr,
                   "qelcollect: %zu spool file(s) written after the run ended were not read "
                   "(a process outlived the command)\n",
                   late);
    rmdir(spoolDir_.c_str());
  }
  if (!path_.empty()) unlink(path_.c_str());
  rmdir(dir_.c_str());
}

std::string ChildConfig::configText(const std::string& address, const std::string& spoolDir) {
  return std::string("# written by qelcollect for the processes of one run\n") +
         qel_wire::kKeyAddress + "=" + address + "\n" + qel_wire::kKeyMode + "=" +
         qel_wire::kConnectMode + "\n" + qel_wire::kKeySpoolDir + "=" + spoolDir + "\n";
}

bool ChildConfig::prepare(bool haveCommand, bool hostGiven, ReceiverOptions& recv,
                          std::string& error) {
  if (!haveCommand || recv.portOffset != 0) return true;
  if (hostGiven && !recv.bind) return true;  // the user connects to a program elsewhere
  if (!recv.bind) recv.host = "127.0.0.1";
  recv.bind = true;
  address_ = usableAddress(recv.host) ? recv.host : "127.0.0.1";

  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qelcollect-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  if (!mkdtemp(name.data())) {
    error = "cannot create a directory for the run in " + pattern + ": " + std::strerror(errno);
    return false;
  }
  dir_ = name.data();
  // A line of the file ends the path: one that holds a line break cannot be
  // named there.
  if (dir_.find_first_of("\r\n") != std::string::npos) {
    error = "the temporary directory " + dir_ + " holds a line break";
    return false;
  }
  const std::string spool = dir_ + "/spool";
  if (mkdir(spool.c_str(), 0700) != 0) {
    error = "cannot create " + spool + ": " + std::strerror(errno);
    return false;
  }
  spoolDir_ = spool;
  spool_ = std::make_unique<SpoolFollower>(spoolDir_, recv.maxMessage);
  path_ = dir_ + "/Server.cfg";
  const std::string text = configText(address_, spoolDir_);
  FILE* f = std::fopen(path_.c_str(), "w");
  const bool ok = f && std::fwrite(text.data(), 1, text.size(), f) == text.size();
  const int writeErr = errno;
  if (f && std::fclose(f) != 0 && ok) {
    error = "cannot write " + path_ + ": " + std::strerror(errno);
    return false;
  }
  if (!ok) {
    error = "cannot write " + path_ + ": " + std::strerror(writeErr);
    return false;
  }
  return true;
}

SpoolResult ChildConfig::readSpool(const std::function<void(Message&&)>& sink) {
  if (!spool_) return SpoolResult{};
  return spool_->finish(sink, true);
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
