// `qelcollect -- COMMAND`: the collector binds the ports and every
// instrumented process the command starts connects to it, through a
// configuration file named by QELMQ_CONFIG. So any number of processes at
// once (`qelcollect -- ctest -j8`, forked children) deliver everything;
// in the runtime's default bind mode only the first process would own the
// ports and the others would lose their data.
//
// The configuration also names a spool directory: whatever a process could
// not hand over its sockets before it ended (its connections were not made
// in time on a loaded machine, a port it could not use) it writes there; the
// collector follows the files while the run goes on and reads the rest at
// its end (spool.hpp). The file and the
// directory live in a private temporary directory, removed with this object.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "receiver.hpp"
#include "spool.hpp"

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
  // Where the processes spool what they could not deliver (empty if none).
  const std::string& spoolDir() const { return spoolDir_; }

  // Follows the spool while the run goes on (null when there is none); its
  // records larger than the receiver's maxMessage are Malformed.
  SpoolFollower* spool() { return spool_.get(); }
  // Hands every spooled message not yet read to `sink` and removes the
  // files; for the end of the run, once the command has ended.
  SpoolResult readSpool(const std::function<void(Message&&)>& sink);

  // `base` (an environ-style array) with QELMQ_CONFIG set to path(), any
  // earlier value replaced. The pointers stay valid while this object and
  // its last environment() result live.
  char** environment(char** base);

  // The file's text for a collector at `address`, spooling into `spoolDir`.
  static std::string configText(const std::string& address, const std::string& spoolDir);

 private:
  std::string dir_;
  std::string path_;
  std::string spoolDir_;
  std::string address_;
  std::vector<std::string> envStrings_;
  std::vector<char*> env_;
  std::unique_ptr<SpoolFollower> spool_;
};

}  // namespace qelc
