#include "spool.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <set>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/inotify.h>
#endif

namespace qelc {

namespace {

bool endsWith(const std::string& s, const char* suffix) {
  const std::string t(suffix);
  return s.size() > t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

std::vector<std::string> spoolFiles(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d))
    if (endsWith(e->d_name, kSpoolSuffix)) names.emplace_back(e->d_name);
  closedir(d);
  // Process ids in the names: a stable order from run to run.
  std::sort(names.begin(), names.end());
  return names;
}

const ChannelInfo* channelOfPort(uint16_t port) {
  for (const ChannelInfo& c : kChannels)
    if (c.port == port) return &c;
  return nullptr;
}

// A damaged file, reported once under the property channel's name but with
// port 0: it did not come from a socket.
Message damage(const std::string& file, uint64_t offset, const std::string& why,
               const uint8_t* bytes, std::size_t len) {
  Message m;
  m.channel = Channel::Property;
  m.port = 0;
  m.body =
      malformed("spool " + file + " at byte " + std::to_string(offset) + ": " + why, bytes, len);
  return m;
}

// The origin of a spool's messages: the file is one process's ("<pid>" and
// the suffix), and its stream is the one its announcements name, once one
// has come. Before that the pid alone names it, which the collection ties
// to the pid's stream.
class SpoolOrigin {
 public:
  explicit SpoolOrigin(const std::string& name) {
    const std::string pid = name.substr(0, name.size() - std::string(kSpoolSuffix).size());
    int32_t p = 0;
    uint64_t s = 0;
    if (qel_wire::parse_origin(pid, &p, &s)) {
      pid_ = p;
      origin_ = pid;
    }
  }
  // The origin of `m`, which may be an announcement naming the stream.
  const std::string& of(const Message& m) {
    if (const auto* p = std::get_if<PropertyMsg>(&m.body); p && pid_ >= 0) {
      const bool start = p->index == DataIndex::ProcessStart;
      const bool end = p->index == DataIndex::ProcessEnd;
      const bool command = p->index == DataIndex::ProcessCommand;
      if ((start && p->start.pid == pid_) || (end && p->end.pid == pid_) ||
          (command && p->command.pid == pid_))
        origin_ = qel_wire::origin_text(pid_, start ? p->start.stream
                                              : end ? p->end.stream
                                                    : p->command.stream);
    }
    return origin_;
  }

 private:
  int32_t pid_ = -1;
  std::string origin_;
};

// One file as far as the looks have read it.
struct FileState {
  explicit FileState(const std::string& name) : origin(name) {}
  SpoolOrigin origin;
  uint64_t offset = 0;  // where the next record starts
  uint64_t size = 0;    // the file's size at the last look
  bool held = false;    // a record that cannot be right waits for the end
};

using Sink = std::function<void(Message&&)>;

bool readAt(int fd, uint64_t offset, uint8_t* out, std::size_t len) {
  while (len > 0) {
    const ssize_t n = pread(fd, out, len, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    offset += static_cast<uint64_t>(n);
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

// A file read in large pieces: a spool holds thousands of small records, and
// a read per header and per body made the reading cost more than decoding.
class Window {
 public:
  Window(int fd, uint64_t end) : fd_(fd), end_(end) {}
  // `len` bytes at `offset` (which must lie before the end given), or null
  // when the file cannot be read there.
  const uint8_t* at(uint64_t offset, std::size_t len) {
    static const uint8_t nothing = 0;
    if (len == 0) return &nothing;  // an empty message is a message
    if (offset >= base_ && offset + len <= base_ + bytes_.size())
      return bytes_.data() + (offset - base_);
    const uint64_t want = std::min<uint64_t>(end_ - offset, std::max<uint64_t>(len, kPiece));
    bytes_.resize(static_cast<std::size_t>(want));
    base_ = offset;
    if (!readAt(fd_, offset, bytes_.data(), bytes_.size())) {
      bytes_.clear();
      return nullptr;
    }
    return bytes_.data();
  }

 private:
  static constexpr uint64_t kPiece = 256 * 1024;
  int fd_;
  uint64_t end_;
  uint64_t base_ = 0;
  std::vector<uint8_t> bytes_;
};

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The records of `path` from f->offset on. During the run (`last` false) a
// record not wholly there yet stops the reading until a later look, and one
// that cannot be right stops it until the end; nothing is reported. At the
// end either is reported once, naming the file and the record's offset, and
// the rest of the file is skipped: false then.
bool readRecords(const std::string& path, FileState* f, std::size_t maxMessage, const Sink& sink,
                 bool last, std::size_t* messages) {
  const auto unreadable = [&](uint64_t at) {
    if (!last) return true;
    sink(damage(path, at, "cannot be read", nullptr, 0));
    return false;
  };
  const Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0) return unreadable(f->offset);
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  f->size = size;
  if (size < f->offset) {
    // Not the file that was read (appends never shorten one).
    f->held = true;
    if (!last) return true;
    sink(damage(path, f->offset, "is shorter (" + std::to_string(size) + " bytes) than was read",
                nullptr, 0));
    return false;
  }
  Window file(fd.get(), size);
  while (f->offset < size) {
    const uint64_t offset = f->offset;
    const uint64_t left = size - offset;
    if (left < kSpoolHeaderSize) {
      if (!last) return true;
      const std::size_t got = static_cast<std::size_t>(left);
      const uint8_t* header = file.at(offset, got);
      if (!header) return unreadable(offset);
      sink(damage(path, offset, "ends inside a record header", header, got));
      return false;
    }
    const uint8_t* header = file.at(offset, kSpoolHeaderSize);
    if (!header) return unreadable(offset);
    uint16_t port = 0;
    uint32_t length = 0;
    const bool marked = qel_wire::decode_spool_header(header, &port, &length);
    const ChannelInfo* channel = marked ? channelOfPort(port) : nullptr;
    if (!channel) {
      f->held = true;
      if (!last) return true;
      sink(damage(path, offset, marked ? "unknown port" : "no record mark", header,
                  kSpoolHeaderSize));
      return false;
    }
    const uint64_t len = length;
    if (len > left - kSpoolHeaderSize) {
      if (!last) return true;
      const std::size_t part =
          static_cast<std::size_t>(std::min<uint64_t>(left - kSpoolHeaderSize, kMalformedPrefix));
      const uint8_t* body = file.at(offset + kSpoolHeaderSize, part);
      if (!body) return unreadable(offset);
      sink(damage(path, offset, "ends inside a record of " + std::to_string(len) + " bytes", body,
                  part));
      return false;
    }
    Message m;
    m.channel = channel->channel;
    m.port = channel->port;
    if (len > maxMessage) {
      // Never held: its first bytes for the report, the rest skipped.
      const std::size_t kept = static_cast<std::size_t>(std::min<uint64_t>(len, kMalformedPrefix));
      const uint8_t* body = file.at(offset + kSpoolHeaderSize, kept);
      if (!body) return unreadable(offset);
      Malformed bad =
          malformed("message of " + std::to_string(len) + " bytes, above the limit of " +
                        std::to_string(maxMessage) + " bytes",
                    body, kept);
      bad.size = len;
      m.body = std::move(bad);
    } else {
      const uint8_t* body = file.at(offset + kSpoolHeaderSize, static_cast<std::size_t>(len));
      if (!body) return unreadable(offset);
      m.body = decode(m.channel, body, static_cast<std::size_t>(len));
      keepWire(&m, body, static_cast<std::size_t>(len));
    }
    m.origin = f->origin.of(m);
    f->offset = offset + kSpoolHeaderSize + len;
    sink(std::move(m));
    ++*messages;
  }
  return true;
}

}  // namespace

struct SpoolFollower::State {
  std::string dir;
  std::size_t maxMessage = 0;
  std::map<std::string, FileState> files;  // by name: every file a look found
  int notify = -1;                         // the inotify descriptor, once watching
  bool watchTried = false;
  bool rescan = true;             // the next look reads every file's size
  std::set<std::string> changed;  // named by inotify since the last look
  std::size_t messages = 0;

  // Takes the queued events into `changed`. A watch lost (the directory
  // gone, the descriptor failing) leaves the looks to read every size.
  void takeEvents() {
#ifdef __linux__
    alignas(inotify_event) char buf[4096];
    for (;;) {
      const ssize_t n = read(notify, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        if (n < 0 && errno != EAGAIN) stopWatching();
        return;
      }
      for (const char* p = buf; p < buf + n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(p);
        if (e->mask & IN_Q_OVERFLOW) rescan = true;
        if (e->mask & IN_IGNORED) stopWatching();
        if (e->len > 0 && endsWith(e->name, kSpoolSuffix)) changed.emplace(e->name);
        p += sizeof(inotify_event) + e->len;
      }
      if (notify < 0) return;
    }
#endif
  }
  void stopWatching() {
    if (notify >= 0) close(notify);
    notify = -1;
    rescan = true;
  }
  void watch() {
    watchTried = true;
#ifdef __linux__
    notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify < 0) return;
    if (inotify_add_watch(notify, dir.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0)
      stopWatching();
#endif
  }
};

SpoolFollower::SpoolFollower(std::string dir, std::size_t maxMessage) : state_(new State) {
  state_->dir = std::move(dir);
  state_->maxMessage = maxMessage;
}

SpoolFollower::~SpoolFollower() { state_->stopWatching(); }

bool SpoolFollower::notified() const { return state_->notify >= 0; }

std::size_t SpoolFollower::poll(const std::function<void(Message&&)>& sink) {
  State& s = *state_;
  // Watching first, then the first full look: a write between the two is
  // seen twice, which reads nothing twice (the offsets).
  if (!s.watchTried) s.watch();
  if (s.notify >= 0) s.takeEvents();
  std::vector<std::string> names;
  const bool full = s.notify < 0 || s.rescan;
  if (full)
    names = spoolFiles(s.dir);
  else
    names.assign(s.changed.begin(), s.changed.end());
  s.rescan = false;
  s.changed.clear();
  const std::size_t before = s.messages;
  for (const std::string& name : names) {
    FileState& f = s.files.try_emplace(name, name).first->second;
    if (f.held) continue;
    const std::string path = s.dir + "/" + name;
    struct stat st;
    // Most files have not grown since the last look: one stat each.
    if (full && stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == f.offset) {
      f.size = f.offset;
      continue;
    }
    readRecords(path, &f, s.maxMessage, sink, false, &s.messages);
  }
  return s.messages - before;
}

bool SpoolFollower::caughtUp() const {
  for (const auto& [name, f] : state_->files)
    if (f.held || f.offset < f.size) return false;
  return true;
}

SpoolResult SpoolFollower::finish(const std::function<void(Message&&)>& sink, bool remove) {
  State& s = *state_;
  s.stopWatching();
  SpoolResult r;
  for (const std::string& name : spoolFiles(s.dir)) {
    const std::string path = s.dir + "/" + name;
    FileState& f = s.files.try_emplace(name, name).first->second;
    ++r.files;
    if (!readRecords(path, &f, s.maxMessage, sink, true, &s.messages)) ++r.damaged;
    if (remove) unlink(path.c_str());
  }
  r.messages = s.messages;
  return r;
}

SpoolResult readSpool(const std::string& dir, std::size_t maxMessage,
                      const std::function<void(Message&&)>& sink, bool remove) {
  return SpoolFollower(dir, maxMessage).finish(sink, remove);
}

std::size_t removeSpool(const std::string& dir) {
  const std::vector<std::string> names = spoolFiles(dir);
  for (const std::string& name : names) unlink((dir + "/" + name).c_str());
  return names.size();
}

}  // namespace qelc
