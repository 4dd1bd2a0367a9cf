// The compiler's answers that do not depend on the unit (its predefined
// macros), kept between qelcc runs so that a build asks each compiler once
// rather than once per unit.
//
// An entry is keyed by everything that decides the answer: the compiler's
// real path, size and modification time, and the flags that select its
// target. It is one file, written whole under a temporary name and renamed,
// so parallel compiles never see half of one; an entry whose key, length or
// checksum does not match what is asked is not used.
#ifndef QELCC_PROBE_CACHE_H
#define QELCC_PROBE_CACHE_H

#include <string>
#include <vector>

namespace qelcc {

// What identifies `compiler` (a command name looked up in PATH, or a path):
// its resolved path, size and modification time; "" when it cannot be
// found, which leaves the answer uncached.
std::string CompilerIdentity(const std::string& compiler);

// Adds to `question` what else decides the compiler's answer: the contents
// of the configuration and specs files that `target_flags` name, and the
// configuration files clang reads by default from its own folder (their
// names and identities, so one that appears, changes or goes away is a new
// question). False when the answer must not be kept: a named file that
// cannot be read here (clang also searches its own folders for a bare
// name) or that includes further files.
bool AddProbeInputs(const std::string& compiler, const std::vector<std::string>& target_flags,
                    std::vector<std::string>* question);

// The key of the question `flags` put to the compiler `identity`.
std::string ProbeKey(const std::string& identity, const std::vector<std::string>& flags);

class ProbeCache {
 public:
  explicit ProbeCache(std::string dir) : dir_(std::move(dir)) {}
  // The answer stored for `key`, if a sound entry holds it.
  bool Find(const std::string& key, std::string* answer) const;
  // Stores the answer; false (and nothing stored) when the directory cannot
  // be written.
  bool Store(const std::string& key, const std::string& answer) const;
  // The file of `key`'s entry.
  std::string PathOf(const std::string& key) const;

 private:
  std::string dir_;
};

}  // namespace qelcc

#endif
