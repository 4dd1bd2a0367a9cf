// `qelcollect -- COMMAND`: the collector binds the ports and every
// instrumented process the command starts connects to it, through a
// configuration file named by QELMQ_CONFIG. So any number of processes at
// once (`qelcollect -- ctest -j8`, forked children) deliver everything;
// in the runtime's default bind mode only the first process would own the
// ports and the others would lose their data.
#pragma once

#include <string>
#include <vector>

#include "receiver.hpp"

namespace qelc {

class ChildConfig {
 public:
  ChildConfig() = default;
  ~ChildConfig();
  ChildConfig(const ChildConfig&) = delete;
  ChildConfig& operator=(const ChildConfig&) = delete;

  // Decides the mode for a run: with a command, unless the user chose to
  // connect to a host or shifted the ports (the runtime's ports are fixed),
  // `recv` is switched to bind on loopback (or on the --bind address) and a
  // configuration file is written that makes the runtime connect there.
  // Returns false, with `error` set, when the file cannot be written.
  bool prepare(bool haveCommand, bool hostGiven, ReceiverOptions& recv, std::string& error);

  bool active() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // The address the runtime is told to connect to.
  const std::string& collectorAddress() const { return address_; }

  // `base` (an environ-style array) with QELMQ_CONFIG set to path(), any
  // earlier value replaced. The pointers stay valid while this object and
  // its last environment() result live.
  char** environment(char** base);

  // The file's text for a collector at `address`.
  static std::string configText(const std::string& address);

 private:
  std::string path_;
  std::string address_;
  std::vector<std::string> envStrings_;
  std::vector<char*> env_;
};

}  // namespace qelc
