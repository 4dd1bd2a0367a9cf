// The server that keeps libclang loaded: the same objects and maps as
// without it, started by a first run and used by the next, gone when idle
// or when its executable changes, holding none of the build's descriptors,
// and never in the way when it fails: the unit is then instrumented in the
// run itself. Each test runs its own copy of qelcc, so it has its own
// server (the socket's name follows the executable's identity).
#include <dirent.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include "qelcc_support.h"

using namespace qelcc_test;

namespace {

const char* const kUtil =
    "static inline int clamp(int v, int lo, int hi) {\n"
    "  if (v < lo || v > hi) return v < lo ? lo : hi;\n"
    "  return v;\n"
    "}\n";
const char* const kA =
    "#include \"util.h\"\n"
    "int score(int a, int b, int c) {\n"
    "  int s = 0;\n"
    "  for (int i = 0; i < a && i < 10; ++i) s += (b > i || c == i) ? 2 : 1;\n"
    "  switch (clamp(c, 0, 3)) { case 0: return s; case 1: s++; break; default: s--; }\n"
    "  while (s > 100 && !(b < 0)) s /= 2;\n"
    "  return s;\n"
    "}\n";
// GCC's nested functions: libclang cannot parse them, so the unit is built
// without probes and its map says why.
const char* const kNested =
    "int outer(int x) {\n"
    "  int inner(int y) { return y > 2 && y < 9 ? y : -y; }\n"
    "  return inner(x) + (x ? 1 : 0);\n"
    "}\n";
const char* const kMain =
    "#include <stdio.h>\n"
    "#include \"util.h\"\n"
    "int score(int, int, int);\n"
    "int main(int argc, char** argv) {\n"
    "  (void)argv;\n"
    "  if (argc > 3 && clamp(argc, 0, 5) == 4) puts(\"many\");\n"
    "  printf(\"%d\\n\", score(argc, 2, 1));\n"
    "  return 0;\n"
    "}\n";

class Server : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = NewDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
    Write("util.h", kUtil);
    Write("a.c", kA);
    Write("nested.c", kNested);
    Write("main.c", kMain);
    exe_ = dir_ + "/qelcc";
    ASSERT_EQ(Sh("cp '" + std::string(QELCC_EXE) + "' '" + exe_ + "'"), 0);
  }
  void TearDown() override {
    // Our own server, if a test left it running: by its pid.
    for (int pid : ServerPids()) kill(pid, SIGTERM);
    if (!HasFailure()) Sh("rm -rf '" + dir_ + "'");
  }
  void Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }
  int Run(const std::string& cmd, std::string* out = nullptr) {
    return Sh("cd '" + dir_ + "' && export QELCC_SERVER_TRACE=trace && " + cmd, out);
  }
  // Builds every unit into the same object names (the map names its
  // object) and keeps the objects and the map directory under `tag`.
  void Build(const std::string& tag, const std::string& env) {
    std::string out;
    for (const char* u : {"a", "nested", "main"}) {
      ASSERT_EQ(Run(env + " QELCC_MAP_DIR=maps_" + tag + " ./qelcc gcc -O1 -c " + u + ".c -o " +
                        u + ".o",
                    &out),
                0)
          << out;
      ASSERT_EQ(Sh("cp '" + dir_ + "/" + u + ".o' '" + dir_ + "/" + u + "." + tag + "'"), 0);
    }
  }
  // How each unit was instrumented, one trace line each.
  std::vector<std::string> Trace() {
    std::vector<std::string> out;
    std::istringstream in(ReadFile(dir_ + "/trace"));
    for (std::string l; std::getline(in, l);) out.push_back(l.substr(l.find(' ') + 1));
    return out;
  }
  // The servers of this test's executable (not their workers).
  std::vector<int> ServerPids() {
    std::vector<int> out;
    const std::map<int, int> all = Processes();
    for (const auto& p : all) {
      if (!all.count(p.second)) out.push_back(p.first);
    }
    return out;
  }
  // The workers of the server `server`.
  std::vector<int> WorkerPids(int server) {
    std::vector<int> out;
    for (const auto& p : Processes()) {
      if (p.second == server) out.push_back(p.first);
    }
    return out;
  }
  // Every live process of this test's executable in server mode, with its
  // parent.
  std::map<int, int> Processes() {
    std::map<int, int> out;
    DIR* d = opendir("/proc");
    if (!d) return out;
    while (dirent* e = readdir(d)) {
      const int pid = std::atoi(e->d_name);
      if (pid <= 0) continue;
      char exe[4096];
      const std::string proc = "/proc/" + std::to_string(pid);
      const ssize_t n = readlink((proc + "/exe").c_str(), exe, sizeof exe - 1);
      if (n <= 0 || std::string(exe, static_cast<size_t>(n)) != exe_) continue;
      const std::string cmdline = ReadFile(proc + "/cmdline");
      const std::string stat = ReadFile(proc + "/stat");
      const size_t paren = stat.rfind(')');
      if (cmdline.find("--instrument-server") != std::string::npos && paren != std::string::npos &&
          stat.compare(paren, 3, ") Z") != 0) {
        int ppid = 0;
        char state = 0;
        if (std::sscanf(stat.c_str() + paren + 1, " %c %d", &state, &ppid) == 2) out[pid] = ppid;
      }
    }
    closedir(d);
    return out;
  }
  // The server's socket name once it listens (abstract names are listed
  // with a leading '@').
  std::string ListeningName() {
    struct stat st;
    if (stat(exe_.c_str(), &st) != 0) return "";
    char prefix[128];
    std::snprintf(prefix, sizeof prefix, "@qelcc-%u-%llx-%llx-", static_cast<unsigned>(getuid()),
                  static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    std::istringstream in(ReadFile("/proc/net/unix"));
    for (std::string l; std::getline(in, l);) {
      const size_t at = l.find(prefix);
      if (at != std::string::npos) return l.substr(at + 1);
    }
    return "";
  }
  template <typename F>
  bool WaitFor(F done, int ms = 10000) {
    for (int waited = 0; waited < ms; waited += 50) {
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return done();
  }
  // A first run that starts the server; true once it listens.
  bool StartServer(const std::string& env = "") {
    std::string out;
    if (Run(env + " QELCC_MAP_DIR=maps_start ./qelcc gcc -c a.c -o start.o", &out) != 0) {
      ADD_FAILURE() << out;
      return false;
    }
    return WaitFor([&] { return !ListeningName().empty(); });
  }
  std::string Obj(const std::string& name) { return ReadFile(dir_ + "/" + name); }

  std::string dir_, exe_;
};

TEST_F(Server, SameObjectsAndMapsWithAndWithoutIt) {
  Build("local", "QELCC_NO_SERVER=1");
  ASSERT_TRUE(Trace().empty()) << "QELCC_NO_SERVER=1 never asks";
  ASSERT_TRUE(StartServer());
  Build("served", "");
  const std::vector<std::string> trace = Trace();
  ASSERT_EQ(trace.size(), 4u);
  EXPECT_EQ(trace[0], "started");
  for (size_t i = 1; i < trace.size(); ++i) EXPECT_EQ(trace[i].rfind("server ", 0), 0u) << trace[i];
  for (const char* u : {"a", "nested", "main"}) {
    const std::string local = Obj(std::string(u) + ".local");
    ASSERT_FALSE(local.empty()) << u;
    EXPECT_EQ(Obj(std::string(u) + ".served"), local) << u;
  }
  std::string diff;
  EXPECT_EQ(Sh("diff -r '" + dir_ + "/maps_local' '" + dir_ + "/maps_served'", &diff), 0) << diff;
  // The fixture exercises what it should: decisions from two files, and a
  // unit left uninstrumented with its reason.
  const std::map<int, Json::Value> maps = MapsIn(dir_ + "/maps_served");
  ASSERT_EQ(maps.size(), 3u);
  bool reason = false, header_decision = false;
  for (const auto& m : maps) {
    reason = reason || !m.second["reason"].asString().empty();
    for (const Json::Value& d : m.second["decisions"]) header_decision = header_decision || d["file"].asInt() != 0;
  }
  EXPECT_TRUE(reason);
  EXPECT_TRUE(header_decision);
  // --no-server as an option too.
  std::string out;
  ASSERT_EQ(Run("QELCC_MAP_DIR=maps_opt ./qelcc --no-server gcc -O1 -c a.c -o a.o", &out), 0) << out;
  EXPECT_EQ(Trace().size(), 4u);
  EXPECT_EQ(Obj("a.o"), Obj("a.local"));
}

TEST_F(Server, ConcurrentFirstRunsLeaveOneServerAndItIdlesOut) {
  std::string cmd;
  for (int i = 0; i < 6; ++i) {
    cmd += "QELCC_MAP_DIR=maps_" + std::to_string(i) + " ./qelcc gcc -c a.c -o p" +
           std::to_string(i) + ".o & ";
  }
  std::string out;
  // popen's pipe comes back only when every holder of its write end has
  // closed it: a server that kept the build's descriptors would hang here.
  ASSERT_EQ(Run("export QELCC_SERVER_IDLE_MS=6000; { " + cmd + "wait; }", &out), 0) << out;
  // One more, in case a slow machine kept the six busy past the idle time.
  ASSERT_EQ(Run("QELCC_SERVER_IDLE_MS=6000 QELCC_MAP_DIR=maps_0 ./qelcc gcc -c a.c -o p0.o", &out),
            0)
      << out;
  ASSERT_TRUE(WaitFor([&] { return !ListeningName().empty(); }));
  ASSERT_TRUE(WaitFor([&] { return ServerPids().size() == 1; }, 3000));
  const int pid = ServerPids()[0];
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(Sh("nm '" + dir_ + "/p" + std::to_string(i) + ".o' | grep -q QelCounterRegister"), 0);
  }

  // Standard streams on /dev/null, nothing else but its socket.
  const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
  DIR* d = opendir(fds.c_str());
  ASSERT_NE(d, nullptr);
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    char target[4096];
    const ssize_t n = readlink((fds + "/" + e->d_name).c_str(), target, sizeof target - 1);
    ASSERT_GT(n, 0);
    const std::string t(target, static_cast<size_t>(n));
    if (std::atoi(e->d_name) <= 2) {
      EXPECT_EQ(t, "/dev/null") << e->d_name;
    } else {
      EXPECT_EQ(t.rfind("socket:", 0), 0u) << e->d_name << " -> " << t;
    }
  }
  closedir(d);

  // Served requests leave no zombies behind.
  ASSERT_EQ(Run("QELCC_MAP_DIR=maps_x ./qelcc gcc -c a.c -o x.o && ./qelcc gcc -c a.c -o y.o", &out),
            0)
      << out;
  EXPECT_EQ(Trace().back().rfind("server " + std::to_string(pid), 0), 0u) << Trace().back();
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  std::string zombies;
  Sh("ps -o stat= --ppid " + std::to_string(pid) + " | grep -c Z", &zombies);
  EXPECT_EQ(std::atoi(zombies.c_str()), 0) << zombies;
  EXPECT_TRUE(WaitFor([&] { return ServerPids().empty(); }, 15000)) << "idle time 6 s";
  EXPECT_TRUE(ListeningName().empty());
}

TEST_F(Server, LeavesWhenItsExecutableChanges) {
  ASSERT_TRUE(StartServer());
  ASSERT_EQ(ServerPids().size(), 1u);
  const std::string old_name = ListeningName();
  Sh("touch -d '2001-02-03 04:05:06' '" + exe_ + "'");
  EXPECT_TRUE(WaitFor([&] { return ServerPids().empty(); }, 5000));
  // The next run finds no server under the new identity and starts one.
  ASSERT_TRUE(StartServer());
  EXPECT_NE(ListeningName(), old_name);
}

// A fake server under the real one's name: it accepts once and misbehaves.
class FakeServer {
 public:
  FakeServer(const std::string& name, std::function<void(int)> behave) {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path + 1, name.data(), name.size());
    const socklen_t len =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    ok_ = bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 && listen(fd_, 8) == 0;
    thread_ = std::thread([this, behave] {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20000) != 1) return;
      const int conn = accept(fd_, nullptr, nullptr);
      if (conn < 0) return;
      behave(conn);
      close(conn);
    });
  }
  ~FakeServer() {
    shutdown(fd_, SHUT_RDWR);
    thread_.join();
    close(fd_);
  }
  bool ok() const { return ok_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::thread thread_;
};

void Send(int fd, const std::string& s) {
  if (send(fd, s.data(), s.size(), MSG_NOSIGNAL) < 0) {
  }
}
std::string Le32(unsigned v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}
void DrainRequest(int fd) {
  char buf[65536];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, 300) == 1 && recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
  }
}

TEST_F(Server, AFailingServerOnlyCostsTheLocalParse) {
  Build("local", "QELCC_NO_SERVER=1");
  // The real name: a server started and left idle.
  ASSERT_TRUE(StartServer("QELCC_SERVER_IDLE_MS=2000"));
  const std::string name = ListeningName();
  ASSERT_FALSE(name.empty());
  ASSERT_TRUE(WaitFor([&] { return ServerPids().empty(); }, 8000)) << "idle time 2 s";

  const std::string hello = "QELS" + Le32(1);
  const std::vector<std::pair<std::string, std::function<void(int)>>> faults = {
      {"accepts and closes", [](int) {}},
      {"another version", [](int fd) { Send(fd, "QELS" + Le32(99)); }},
      {"garbage", [](int fd) { Send(fd, "this is not a greeting at all"); }},
      {"greets, then dies before replying",
       [&](int fd) {
         Send(fd, hello);
         DrainRequest(fd);
       }},
      {"a reply cut short",
       [&](int fd) {
         Send(fd, hello);
         DrainRequest(fd);
         Send(fd, "QELR" + Le32(1) + Le32(1000) + std::string(10, '\1'));
       }},
      {"a complete frame of garbage",
       [&](int fd) {
         Send(fd, hello);
         DrainRequest(fd);
         Send(fd, "QELR" + Le32(1) + Le32(5) + "\7\7\7\7\7");
       }},
      {"silent after accepting (the greeting times out)",
       [](int) { std::this_thread::sleep_for(std::chrono::milliseconds(6000)); }},
  };
  for (const auto& f : faults) {
    Sh("rm -f '" + dir_ + "/trace'");
    FakeServer fake(name, f.second);
    ASSERT_TRUE(fake.ok()) << f.first;
    std::string out;
    ASSERT_EQ(Run("QELCC_MAP_DIR=maps_f ./qelcc gcc -O1 -c a.c -o a.o", &out), 0)
        << f.first << out;
    EXPECT_EQ(Obj("a.o"), Obj("a.local")) << f.first;
    const std::vector<std::string> trace = Trace();
    ASSERT_EQ(trace.size(), 1u) << f.first;
    EXPECT_EQ(trace[0].rfind("local: ", 0), 0u) << f.first << ": " << trace[0];
  }
  EXPECT_TRUE(ServerPids().empty()) << "a name taken is never a reason to start another";
}

// A client of the real server that stops where the test says: connected
// and greeted (a worker is then its own until it hangs up).
int Greeted(const std::string& name) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path + 1, name.data(), name.size());
  const socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
  char hello[8];
  pollfd p{fd, POLLIN, 0};
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || poll(&p, 1, 5000) != 1 ||
      recv(fd, hello, sizeof hello, MSG_WAITALL) != 8 || std::memcmp(hello, "QELS", 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The workers' lines of a QELCC_SERVER_RUSAGE file: pid and requests.
std::map<int, long> WorkerRequests(const std::string& text) {
  std::map<int, long> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    int pid = 0;
    long n = 0;
    if (std::sscanf(l.c_str(), "%d worker requests %ld", &pid, &n) == 2) out[pid] = n;
  }
  return out;
}

long Served(const std::vector<std::string>& trace) {
  long n = 0;
  for (const std::string& t : trace) n += t.rfind("server ", 0) == 0;
  return n;
}

TEST_F(Server, ManyRequestsSequentialAndParallelAreServedByFewWorkers) {
  Build("local", "QELCC_NO_SERVER=1");
  std::string out;
  for (int j = 0; j < 4; ++j) {
    const std::string o = "p" + std::to_string(j);
    ASSERT_EQ(Run("QELCC_NO_SERVER=1 QELCC_MAP_DIR=maps_l ./qelcc gcc -O1 -c a.c -o " + o +
                      ".o && mv " + o + ".o " + o + ".local",
                  &out),
              0)
        << out;
  }
  // Idle time long enough that a slow (sanitized) run never sees the
  // server leave between two compiles.
  const std::string env = "QELCC_SERVER_IDLE_MS=4000 QELCC_SERVER_RUSAGE=" + dir_ + "/rusage";
  ASSERT_TRUE(StartServer(env));
  Sh("rm -f '" + dir_ + "/trace'");
  for (int i = 0; i < 10; ++i) {
    ASSERT_EQ(Run(env + " QELCC_MAP_DIR=maps_s ./qelcc gcc -O1 -c a.c -o a.o", &out), 0) << out;
    ASSERT_EQ(Obj("a.o"), Obj("a.local")) << i;
  }
  for (int round = 0; round < 3; ++round) {
    std::string cmd = "{ ";
    for (int j = 0; j < 4; ++j) {
      cmd += env + " QELCC_MAP_DIR=maps_p" + std::to_string(j) + " ./qelcc gcc -O1 -c a.c -o p" +
             std::to_string(j) + ".o & ";
    }
    ASSERT_EQ(Run(cmd + "wait; }", &out), 0) << out;
    for (int j = 0; j < 4; ++j) {
      const std::string o = "p" + std::to_string(j);
      EXPECT_EQ(Obj(o + ".o"), Obj(o + ".local")) << round << " " << o;
    }
  }
  const long served = Served(Trace());
  EXPECT_EQ(served, 22) << "every request served";
  ASSERT_TRUE(WaitFor([&] { return ServerPids().empty(); }, 15000));
  const std::map<int, long> workers = WorkerRequests(ReadFile(dir_ + "/rusage"));
  long total = 0;
  for (const auto& w : workers) total += w.second;
  EXPECT_EQ(total, served) << ReadFile(dir_ + "/rusage");
  // Sequential requests need two workers (one busy, one standing by), four
  // at once a few more; never one process per request.
  EXPECT_GE(workers.size(), 1u);
  EXPECT_LE(workers.size(), 8u) << ReadFile(dir_ + "/rusage");
}

TEST_F(Server, UnitsOfDifferentFoldersInSequenceThroughOneWorker) {
  // Same file names, other contents: a cache keyed by path would carry the
  // first folder's header into the second's unit.
  ASSERT_EQ(Sh("mkdir '" + dir_ + "/sub'"), 0);
  Write("sub/util.h",
        "static inline int clamp(int v, int lo, int hi) {\n"
        "  return v < lo && lo < hi ? lo : v > hi ? hi : v;\n"
        "}\n");
  Write("sub/a.c", std::string("#define EXTRA 1\n") + kA);
  const std::vector<std::pair<std::string, std::string>> steps = {
      {".", "a"}, {"sub", "a"}, {".", "nested"}, {"sub", "a"}, {".", "main"}, {".", "a"}};
  auto run = [&](size_t i, const std::string& env) {
    const std::string o = "step" + std::to_string(i);
    std::string out;
    const int rc = Run("export QELCC_SERVER_TRACE=$PWD/trace; cd " + steps[i].first + " && " +
                           env + " QELCC_MAP_DIR=maps ./" +
                           (steps[i].first == "." ? "" : "../") + "qelcc gcc -O1 -c " +
                           steps[i].second + ".c -o " + o + ".o && mv " + o + ".o " + o + "." +
                           (env.empty() ? "served" : "local"),
                       &out);
    EXPECT_EQ(rc, 0) << out;
    return steps[i].first + "/" + o;
  };
  for (size_t i = 0; i < steps.size(); ++i) run(i, "QELCC_NO_SERVER=1");
  ASSERT_TRUE(StartServer("QELCC_SERVER_WORKERS=1 QELCC_SERVER_IDLE_MS=4000 QELCC_SERVER_RUSAGE=" +
                          dir_ + "/rusage"));
  Sh("rm -f '" + dir_ + "/trace'");
  for (size_t i = 0; i < steps.size(); ++i) {
    const std::string o = run(i, "");
    const std::string local = Obj(o + ".local");
    ASSERT_FALSE(local.empty()) << o;
    EXPECT_EQ(Obj(o + ".served"), local) << o;
  }
  EXPECT_EQ(Served(Trace()), static_cast<long>(steps.size()));
  EXPECT_NE(Obj("step0.local"), Obj("sub/step1.local")) << "the folders' units differ";
  ASSERT_TRUE(WaitFor([&] { return ServerPids().empty(); }, 15000));
  const std::map<int, long> workers = WorkerRequests(ReadFile(dir_ + "/rusage"));
  ASSERT_EQ(workers.size(), 1u) << ReadFile(dir_ + "/rusage");
  EXPECT_EQ(workers.begin()->second, static_cast<long>(steps.size()));
}

TEST_F(Server, RecycledWorkersAndKilledWorkersCostOnlyTheirRequest) {
  Build("local", "QELCC_NO_SERVER=1");
  ASSERT_TRUE(StartServer("QELCC_SERVER_IDLE_MS=30000 QELCC_SERVER_WORKER_REQUESTS=2"));
  ASSERT_EQ(ServerPids().size(), 1u);
  const int server = ServerPids()[0];
  const std::string name = ListeningName();
  std::string out;
  // Workers leave after two requests each; the pool forks new ones.
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(Run("QELCC_MAP_DIR=maps_r ./qelcc gcc -O1 -c a.c -o a.o", &out), 0) << out;
    EXPECT_EQ(Obj("a.o"), Obj("a.local")) << i;
    EXPECT_EQ(Trace().back(), "server " + std::to_string(server));
  }
  // Killed in the middle of a request, twice in a row (every worker at
  // once): the client sees its connection close without a reply, which
  // sends the real client to a local parse, and the server keeps serving.
  for (int round = 0; round < 2; ++round) {
    const int held = Greeted(name);
    ASSERT_GE(held, 0);
    Send(held, "QELQ" + Le32(1) + Le32(1000) + "part of a request");
    std::vector<int> workers;
    ASSERT_TRUE(WaitFor([&] { return !(workers = WorkerPids(server)).empty(); }));
    for (int w : workers) kill(w, SIGKILL);
    pollfd p{held, POLLIN, 0};
    char c;
    EXPECT_EQ(poll(&p, 1, 5000), 1);
    EXPECT_LE(recv(held, &c, 1, 0), 0);
    close(held);
  }
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(Run("QELCC_MAP_DIR=maps_k ./qelcc gcc -O1 -c a.c -o a.o", &out), 0) << out;
    EXPECT_EQ(Obj("a.o"), Obj("a.local"));
    EXPECT_EQ(Trace().back(), "server " + std::to_string(server));
  }
  EXPECT_EQ(ServerPids(), std::vector<int>{server});
  EXPECT_LE(WorkerPids(server).size(), 4u);
}

TEST_F(Server, SilentClientsDoNotStallOthers) {
  Build("local", "QELCC_NO_SERVER=1");
  // Room for the silent ones and one more whatever the machine's CPU count.
  ASSERT_TRUE(StartServer("QELCC_SERVER_IDLE_MS=30000 QELCC_SERVER_WORKERS=8"));
  const int server = ServerPids()[0];
  const std::string name = ListeningName();
  // Each is greeted by a worker of its own, which then waits for a request
  // that never comes.
  std::vector<int> silent;
  for (int i = 0; i < 3; ++i) {
    silent.push_back(Greeted(name));
    ASSERT_GE(silent.back(), 0) << i;
  }
  // Stalled behind them, it would have gone local after the greeting
  // timeout.
  std::string out;
  ASSERT_EQ(Run("QELCC_MAP_DIR=maps_q ./qelcc gcc -O1 -c a.c -o a.o", &out), 0) << out;
  EXPECT_EQ(Trace().back(), "server " + std::to_string(server));
  EXPECT_EQ(Obj("a.o"), Obj("a.local"));
  EXPECT_GE(WorkerPids(server).size(), 4u);
  for (int fd : silent) close(fd);
}

}  // namespace
