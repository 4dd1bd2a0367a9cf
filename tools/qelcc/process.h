// Processes and files for the launcher: running the compiler, temporary
// files, whole-file reads and writes.
#ifndef QELCC_PROCESS_H
#define QELCC_PROCESS_H

#include <string>
#include <vector>

namespace qelcc {

// Runs argv; with `err_file`, its standard error goes there, with
// `out_file` its standard output. Returns the exit status (128+signal when
// killed, 127 when it cannot start).
int Run(const std::vector<std::string>& argv, const std::string& err_file = "",
        const std::string& out_file = "");

// Replaces this process with argv (the compiler, when qelcc has nothing to
// add); exits 127 if that is impossible.
[[noreturn]] void Exec(const std::vector<std::string>& argv);

std::string ReadFile(const std::string& path, bool* ok);
bool WriteFile(const std::string& path, const std::string& text);
void CopyToStderr(const std::string& path);
bool Exists(const std::string& path);
std::string Env(const char* name);
std::string Cwd();
// The directory of the running executable.
std::string SelfDir();
// The real path (links resolved) of the program `command` runs: a command
// name looked up in PATH as execvp looks it up, or a path; "" when none.
std::string ResolveCommand(const std::string& command);

bool StartsWith(const std::string& s, const std::string& prefix);
bool EndsWith(const std::string& s, const std::string& suffix);
// The file name without directory and extension.
std::string Stem(const std::string& path);

// A private directory under $TMPDIR, removed with its files unless kept.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  bool ok() const { return !path_.empty(); }
  void Keep() { keep_ = true; }
  // A file of the directory (removed with it); `sub` puts it in a
  // subdirectory of its own, so its name can be the user's.
  std::string File(const std::string& name, const std::string& sub = "");

 private:
  std::string path_;
  std::vector<std::string> files_, dirs_;
  bool keep_ = false;
};

}  // namespace qelcc

#endif
