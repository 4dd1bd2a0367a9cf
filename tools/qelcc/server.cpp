// Design
//
// Processes. A qelcc run (the client) preprocesses a unit as always and,
// for the one step that needs libclang, connects to the server: a process
// of this same executable that has libclang mapped and relocated already.
// The server binds the socket, loads libclang, parses a warm-up unit and
// then forks workers; it never reads or writes a request itself, so a slow
// or silent client cannot stall it: it only keeps the pool, reaps and
// decides when to leave. A worker takes connections off the shared
// listening socket one at a time: it greets, reads the request, chdir()s to
// the client's directory, runs Instrument on the client's preprocessed
// file, writes the whole InstrumentResult, chdir()s back to / and takes the
// next. A worker serves many requests because a fresh fork runs cold: it
// faults in every libclang page it touches again, which costs ten times the
// parse of a small unit.
//
// The pool. The server and its workers share one anonymous page: a state
// per worker slot (free, idle, busy) and the time of the latest request,
// both relaxed atomics; and a socket pair, on which a worker sends a byte
// when it takes a request and whose hang-up tells the workers the server
// is leaving or gone. Invariants: there is always an idle worker unless
// 2 x online CPUs are busy (the server forks one as soon as the last idle
// one takes a request), so a silent client holds up its own worker only,
// and that one for a bounded time (each read and write of a request
// gives up after some seconds without progress); a worker that dies is reaped and its
// slot freed, and replacements of workers that die abnormally wait a pause
// that doubles up to five seconds, so a crashing libclang never turns into
// a fork loop; a worker leaves after some requests or once its memory has
// grown past a bound, and the next is forked from the server's clean
// state. Nothing of one request reaches the next: Instrument, the rewriter
// and the parser keep no state between calls (the translation unit and
// its index are disposed of, caches belong to the call), and the working
// directory is put back.
//
// Ownership. The client stays the build's process: it keeps its signals,
// file descriptors, jobserver, temporary folder and exit status, and runs
// the compiler itself. The worker only reads the preprocessed file, which
// stays in the client's temporary folder until the client is done. The
// server is started by the first client that finds none (fork, setsid,
// fork again, every inherited descriptor closed and /dev/null on 0, 1 and
// 2, then this executable again): it belongs to no build, holds none of
// its pipes, and is not waited for by make or ctest. It leaves after some
// seconds without requests (the workers' time stamp, and no worker busy),
// or as soon as its executable is replaced: it then hangs up on the
// workers, which finish the request under way and leave, and waits for
// them.
//
// Why no request can hang the build. The client falls back to a local
// Instrument on any failure before a complete, well-formed reply: no
// server, another user's, another version, no greeting within a few
// seconds of connecting (a server stopped or swamped), a reply cut short
// or malformed. Past the greeting the client waits without limit, but only
// on a live connection: the worker's death closes it. Instrument
// writes nothing, so a request that also ran in a worker that the client
// gave up on changes no output. The socket's name holds the user and the
// identities of this executable and of libclang, so a rebuilt qelcc never
// talks to an older server, and both ends check that the peer is the same
// user.
#include "server.h"

#if defined(__linux__) && defined(QELCC_SERVER)

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "cparse.h"
#include "process.h"

namespace qelcc {

const char* const kServerArgument = "--instrument-server";

namespace {

// Bumped whenever the frames or the encoding change.
const std::uint32_t kVersion = 1;
const char kGreeting[4] = {'Q', 'E', 'L', 'S'};
const char kRequestTag[4] = {'Q', 'E', 'L', 'Q'};
const char kReplyTag[4] = {'Q', 'E', 'L', 'R'};
// From connecting to the greeting: a server that has just started may
// still be loading libclang (a tenth of a second, more on a busy machine).
const int kGreetingMs = 5000;
// A worker waits this long for each part of a request (and for room to
// write its reply), then gives up on the client.
const int kRequestSeconds = 10;
// The server's life without requests. A serial build of small units asks
// every few hundred milliseconds; configure steps, links and test runs
// between compiles take longer, but seldom more than a few seconds.
const long kDefaultIdleMs = 8000;
const long kMaxFrame = 1L << 30;

long long NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::uint64_t Fnv(const std::string& s, std::uint64_t h = 1469598103934665603ULL) {
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

std::string FileIdentity(const struct stat& st) {
  char buf[160];
  std::snprintf(
      buf, sizeof buf, "%llx-%llx-%llx-%llx.%lx", static_cast<unsigned long long>(st.st_dev),
      static_cast<unsigned long long>(st.st_ino), static_cast<unsigned long long>(st.st_size),
      static_cast<unsigned long long>(st.st_mtim.tv_sec),
      static_cast<unsigned long>(st.st_mtim.tv_nsec));
  return buf;
}

// The executable's part of the name, of the file at `exe` now.
std::string ExecutableIdentity(const char* exe) {
  struct stat st;
  if (stat(exe, &st) != 0) return "";
  return FileIdentity(st);
}

// "qelcc-UID-EXE-LIBCLANG": the server of this user, this executable and
// this libclang; empty when an identity cannot be taken.
std::string SocketName() {
  const std::string exe = ExecutableIdentity("/proc/self/exe");
  if (exe.empty()) return "";
  const std::string lib = qel::cparse::LibclangFile();
  struct stat st;
  std::string libid = lib;
  if (!lib.empty() && stat(lib.c_str(), &st) == 0) libid += "|" + FileIdentity(st);
  char buf[100];
  std::snprintf(buf, sizeof buf, "qelcc-%u-", static_cast<unsigned>(getuid()));
  char hash[20];
  std::snprintf(hash, sizeof hash, "-%016llx", static_cast<unsigned long long>(Fnv(libid)));
  return buf + exe + hash;
}

socklen_t Address(const std::string& name, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  // Abstract: a leading NUL, no file, gone with the last socket.
  const size_t n = std::min(name.size(), sizeof addr->sun_path - 1);
  std::memcpy(addr->sun_path + 1, name.data(), n);
  return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

bool SameUser(int fd, pid_t* pid) {
  ucred cred;
  socklen_t len = sizeof cred;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
  if (pid) *pid = cred.pid;
  return cred.uid == getuid();
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads exactly n bytes; with `timeout_ms` >= 0 each wait is bounded.
bool ReadAll(int fd, char* p, size_t n, int timeout_ms = -1) {
  while (n > 0) {
    if (timeout_ms >= 0) {
      pollfd pfd{fd, POLLIN, 0};
      int rc = poll(&pfd, 1, timeout_ms);
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return false;
    }
    ssize_t r = recv(fd, p, n, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

std::string U32(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xff);
  return s;
}

std::uint32_t GetU32(const char* p) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i)
    v |= static_cast<std::uint32_t>(static_cast<unsigned char>(p[i])) << (8 * i);
  return v;
}

// A frame: tag, version, length, payload.
std::string Frame(const char tag[4], const std::string& payload) {
  return std::string(tag, 4) + U32(kVersion) + U32(static_cast<std::uint32_t>(payload.size())) +
         payload;
}

// Reads one frame of `tag`; false when it is another, another version's,
// cut short or too large.
bool ReadFrame(int fd, const char tag[4], std::string* payload) {
  char head[12];
  if (!ReadAll(fd, head, sizeof head)) return false;
  if (std::memcmp(head, tag, 4) != 0 || GetU32(head + 4) != kVersion) return false;
  const std::uint32_t n = GetU32(head + 8);
  if (n > kMaxFrame) return false;
  payload->assign(n, '\0');
  return n == 0 || ReadAll(fd, &(*payload)[0], n);
}

// QELCC_SERVER_TRACE names a file that gets one line per unit: how its
// instrumentation ran.
void Trace(const std::string& what) {
  const std::string path = Env("QELCC_SERVER_TRACE");
  if (path.empty()) return;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  const std::string line = std::to_string(getpid()) + " " + what + "\n";
  if (write(fd, line.data(), line.size()) < 0) {
  }
  close(fd);
}

void CloseFrom(int first) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  long max = sysconf(_SC_OPEN_MAX);
  if (max < 0 || max > 1 << 20) max = 1 << 20;
  for (int fd = first; fd < max; ++fd) close(fd);
}

// fork, setsid, fork again: the server is nobody's child in the build and
// has no controlling terminal. This run does its own unit meanwhile.
void StartServer(const std::string& name) {
  const char* argv[] = {"qelcc", kServerArgument, name.c_str(), nullptr};
  const pid_t pid = fork();
  if (pid < 0) return;
  if (pid == 0) {
    setsid();
    if (fork() != 0) _exit(0);
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    CloseFrom(3);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv("/proc/self/exe", const_cast<char* const*>(argv));
    _exit(127);
  }
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// ---- a worker: many requests, one at a time --------------------------------

// One request on `conn`; false when the client went away or sent nothing
// usable (the worker then just takes the next one).
bool Serve(int conn) {
  const std::string hello = std::string(kGreeting, 4) + U32(kVersion);
  if (!WriteAll(conn, hello.data(), hello.size())) return false;
  timeval tv{kRequestSeconds, 0};
  setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(conn, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  std::string payload;
  InstrumentRequest q;
  if (!ReadFrame(conn, kRequestTag, &payload) || !DecodeRequest(payload, &q)) return false;
  if (chdir(q.cwd.c_str()) != 0) return false;
  bool ok = false;
  const std::string itext = ReadFile(q.ipath, &ok);
  if (!ok) return false;
  const InstrumentResult r = Instrument(q.ipath, itext, q.cwd, q.args, q.unit, q.group, q.options);
  const std::string reply = Frame(kReplyTag, EncodeResult(r));
  return WriteAll(conn, reply.data(), reply.size());
}

// What the server and its workers share: one anonymous page, mapped before
// the first fork. Each slot is written by its worker while it lives and by
// the server once it has reaped it; the time stamp by every worker.
const int kMaxWorkers = 64;
enum SlotState : int { kFree = 0, kIdle = 1, kBusy = 2 };
struct Shared {
  std::atomic<long long> last_request_ms;
  std::atomic<int> state[kMaxWorkers];
};

// A worker leaves after this many requests, or once its resident memory has
// grown this much past what it started with: whatever libclang keeps
// between translation units (allocator slack, fragmentation) stays bounded.
const long kDefaultWorkerRequests = 200;
const long long kWorkerGrowthBytes = 512LL << 20;

long long ResidentBytes() {
  long pages = 0, resident = 0;
  FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(f);
  return static_cast<long long>(resident) * sysconf(_SC_PAGESIZE);
}

// QELCC_SERVER_RUSAGE: one line per worker as it leaves, the server's own
// when it leaves (see WriteUsage). Taken as the server starts, in the
// folder it starts in: workers run in /.
std::string usage_path;

void AppendUsageLine(const std::string& line) {
  if (usage_path.empty()) return;
  const int fd = open(usage_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  if (write(fd, line.data(), line.size()) < 0) {
  }
  close(fd);
}

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; }

// `lfd` is the server's listening socket (non-blocking, shared by every
// worker), `link` this worker's end of the link to the server: a byte on it
// says "a request began", its hang-up says "the server is leaving (or
// gone)".
[[noreturn]] void WorkerMain(int lfd, int link, Shared* shared, int slot, long max_requests) {
  if (chdir("/") != 0) {
  }
  const long long start_rss = ResidentBytes();
  long served = 0;
  for (;;) {
    pollfd pfd[2] = {{lfd, POLLIN, 0}, {link, 0, 0}};
    const int rc = poll(pfd, 2, -1);
    if (rc < 0 && errno != EINTR) break;
    if (rc <= 0) continue;
    if (pfd[1].revents & (POLLHUP | POLLERR | POLLNVAL)) break;
    if (!(pfd[0].revents & POLLIN)) continue;
    // Every idle worker wakes; one gets the connection, the others EAGAIN.
    const int conn = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0) continue;
    shared->state[slot].store(kBusy, std::memory_order_relaxed);
    shared->last_request_ms.store(NowMs(), std::memory_order_relaxed);
    const char one = 'r';
    if (send(link, &one, 1, MSG_DONTWAIT | MSG_NOSIGNAL) < 0) {
    }
    if (SameUser(conn, nullptr)) Serve(conn);
    close(conn);
    // The next request starts where a fresh process would.
    if (chdir("/") != 0) break;
    shared->last_request_ms.store(NowMs(), std::memory_order_relaxed);
    if (++served >= max_requests || ResidentBytes() - start_rss > kWorkerGrowthBytes) break;
    shared->state[slot].store(kIdle, std::memory_order_relaxed);
  }
  rusage self{};
  getrusage(RUSAGE_SELF, &self);
  char line[200];
  std::snprintf(line, sizeof line, "%d worker requests %ld user %.3f sys %.3f\n",
                static_cast<int>(getpid()), served, Seconds(self.ru_utime), Seconds(self.ru_stime));
  AppendUsageLine(line);
  _exit(0);
}

// QELCC_SERVER_RUSAGE names a file that gets, when the server leaves, its
// CPU and its children's (the workers', so the requests'), which a build's
// own accounting never sees.
void WriteUsage() {
  rusage self{}, kids{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &kids);
  char line[200];
  std::snprintf(line, sizeof line, "%d user %.3f sys %.3f children_user %.3f children_sys %.3f\n",
                static_cast<int>(getpid()), Seconds(self.ru_utime), Seconds(self.ru_stime),
                Seconds(kids.ru_utime), Seconds(kids.ru_stime));
  AppendUsageLine(line);
}

// One parse before the first request: what libclang and LLVM set up and
// touch on first use (allocators, tables, pages of code read in) is then
// the server's, shared with every child instead of redone in each.
void WarmUp() {
  const std::string text =
      "# 1 \"warm.c\"\n"
      "struct s { int v; };\n"
      "static int f(struct s* p, int a, int b) {\n"
      "  int n = 0;\n"
      "  for (int i = 0; i < a && p; ++i) n += (b > i || i == 2) ? p->v : 1;\n"
      "  switch (a) { case 1: return n; default: break; }\n"
      "  while (n > 9 && !b) n /= 2;\n"
      "  return n;\n"
      "}\n"
      "int g(void) { struct s x = {1}; return f(&x, 3, 4); }\n";
  Instrument("/qelcc-warm-up.i", text, "/", {}, 1, 1, InstrumentOptions());
}

}  // namespace

bool InstrumentThroughServer(const InstrumentRequest& request, InstrumentResult* result) {
  const std::string name = SocketName();
  if (name.empty()) return false;
  sockaddr_un addr;
  const socklen_t len = Address(name, &addr);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
    // No one listens under the name (refused); a full backlog (EAGAIN)
    // means a server that is there but swamped: this unit goes local.
    if (errno == ECONNREFUSED || errno == ENOENT) {
      StartServer(name);
      Trace("started");
    } else {
      Trace(std::string("local: cannot connect (") + std::strerror(errno) + ")");
    }
    return false;
  }
  pid_t server = 0;
  if (!SameUser(fd, &server)) {
    Trace("local: the server is another user's");
    return false;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
  char hello[8];
  if (!ReadAll(fd, hello, sizeof hello, kGreetingMs) || std::memcmp(hello, kGreeting, 4) != 0 ||
      GetU32(hello + 4) != kVersion) {
    Trace("local: no greeting");
    return false;
  }
  const std::string frame = Frame(kRequestTag, EncodeRequest(request));
  std::string payload;
  InstrumentResult r;
  if (!WriteAll(fd, frame.data(), frame.size()) || !ReadFrame(fd, kReplyTag, &payload) ||
      !DecodeResult(payload, &r)) {
    Trace("local: no complete reply");
    return false;
  }
  *result = std::move(r);
  Trace("server " + std::to_string(server));
  return true;
}

int ServerMain(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string name = argv[2];
  // Started for another executable than the one now at this path (replaced
  // in between): leave it to the next client.
  if (SocketName() != name) return 0;
  signal(SIGPIPE, SIG_IGN);
  signal(SIGHUP, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  signal(SIGCHLD, SIG_DFL);
  char exe[4096];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return 1;
  exe[n] = '\0';
  const std::string self = ExecutableIdentity("/proc/self/exe");

  sockaddr_un addr;
  const socklen_t len = Address(name, &addr);
  const int lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (lfd < 0) return 1;
  // Concurrent starters: the first bind wins, the others leave quietly.
  if (bind(lfd, reinterpret_cast<sockaddr*>(&addr), len) != 0) return 0;
  if (listen(lfd, 256) != 0) return 1;
  // Listening already, so clients that come meanwhile wait for the greeting
  // instead of starting servers of their own.
  std::string error;
  if (!qel::cparse::LoadLibclangBound(&error)) return 1;
  WarmUp();

  usage_path = Env("QELCC_SERVER_RUSAGE");
  char cwd[4096];
  if (!usage_path.empty() && usage_path[0] != '/' && getcwd(cwd, sizeof cwd)) {
    usage_path = std::string(cwd) + "/" + usage_path;
  }
  long idle_ms = kDefaultIdleMs;
  const std::string idle = Env("QELCC_SERVER_IDLE_MS");
  if (!idle.empty() && std::atol(idle.c_str()) > 0) idle_ms = std::atol(idle.c_str());
  long max_requests = kDefaultWorkerRequests;
  const std::string per_worker = Env("QELCC_SERVER_WORKER_REQUESTS");
  if (!per_worker.empty() && std::atol(per_worker.c_str()) > 0) {
    max_requests = std::atol(per_worker.c_str());
  }
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  int cap = static_cast<int>(std::min<long>(kMaxWorkers, std::max<long>(2, 2 * cpus)));
  const std::string workers = Env("QELCC_SERVER_WORKERS");
  if (!workers.empty() && std::atoi(workers.c_str()) > 0) {
    cap = std::min(kMaxWorkers, std::atoi(workers.c_str()));
  }

  void* page =
      mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return 1;
  Shared* shared = new (page) Shared();
  shared->last_request_ms.store(NowMs(), std::memory_order_relaxed);
  for (auto& st : shared->state) st.store(kFree, std::memory_order_relaxed);
  // link[0] is the server's end, link[1] every worker's (a socket pair, not
  // a pipe: the server holds sockets only).
  int link[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, link) != 0) return 1;
  // Workers only accept: a connection waiting is never the server's to
  // take, and a worker beaten to it by another must not block in accept.
  const int lflags = fcntl(lfd, F_GETFL);
  if (lflags < 0 || fcntl(lfd, F_SETFL, lflags | O_NONBLOCK) != 0) return 1;

  pid_t pids[kMaxWorkers] = {};
  int live = 0;
  // Workers that die (crash, killed, out of memory) are replaced after a
  // pause that doubles while they keep dying, so a libclang that crashes at
  // once never turns the server into a fork loop.
  long long backoff_ms = 0, next_spawn = 0, last_death = 0;
  auto spawn = [&]() {
    int slot = 0;
    while (slot < kMaxWorkers && pids[slot] != 0) ++slot;
    if (slot == kMaxWorkers) return;
    shared->state[slot].store(kIdle, std::memory_order_relaxed);
    const pid_t pid = fork();
    if (pid == 0) {
      close(link[0]);
      WorkerMain(lfd, link[1], shared, slot, max_requests);
    }
    if (pid < 0) {
      shared->state[slot].store(kFree, std::memory_order_relaxed);
      next_spawn = NowMs() + 1000;
      return;
    }
    pids[slot] = pid;
    ++live;
  };

  long long checked = NowMs();
  for (;;) {
    int status = 0;
    pid_t pid;
    while (live > 0 && (pid = waitpid(-1, &status, WNOHANG)) > 0) {
      for (int i = 0; i < kMaxWorkers; ++i) {
        if (pids[i] != pid) continue;
        pids[i] = 0;
        shared->state[i].store(kFree, std::memory_order_relaxed);
        --live;
      }
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        const long long now = NowMs();
        backoff_ms = now - last_death > 10000 ? 50 : std::min<long long>(5000, 2 * backoff_ms);
        last_death = now;
        next_spawn = now + backoff_ms;
      }
    }
    const long long now = NowMs();
    if (now - checked >= 1000) {
      checked = now;
      // A rebuilt or reinstalled qelcc gets a server of its own; this one
      // would only hold the old libraries in memory.
      if (ExecutableIdentity(exe) != self) break;
    }
    int busy = 0;
    for (int i = 0; i < kMaxWorkers; ++i) {
      busy += pids[i] != 0 && shared->state[i].load(std::memory_order_relaxed) == kBusy;
    }
    const long long last = shared->last_request_ms.load(std::memory_order_relaxed);
    if (busy == 0 && now - last >= idle_ms) break;
    // One idle worker at all times, so a request never waits for a busy
    // one: a silent or slow client holds up its own worker only.
    long long wait = std::min<long long>(1000, std::max(1LL, idle_ms - (now - last)));
    if (busy == live && live < cap) {
      if (now >= next_spawn) {
        spawn();
        continue;
      }
      wait = std::min(wait, next_spawn - now);
    }
    pollfd pfd{link[0], POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(std::max(1LL, wait))) > 0) {
      char buf[256];
      while (recv(link[0], buf, sizeof buf, MSG_DONTWAIT) > 0) {
      }
    }
  }
  // Once every worker has let go of the socket no new client can reach
  // this server; the requests under way finish first, so none is cut short.
  close(lfd);
  close(link[0]);
  while (wait(nullptr) > 0 || errno == EINTR) {
  }
  WriteUsage();
  return 0;
}

}  // namespace qelcc

#else

namespace qelcc {

const char* const kServerArgument = "--instrument-server";

bool InstrumentThroughServer(const InstrumentRequest&, InstrumentResult*) { return false; }

int ServerMain(int, char**) { return 2; }

}  // namespace qelcc

#endif
