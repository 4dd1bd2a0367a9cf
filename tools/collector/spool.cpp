#include "spool.hpp"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

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

// One file; returns false when it was damaged.
bool readFile(const std::string& path, std::size_t maxMessage,
              const std::function<void(Message&&)>& sink, std::size_t* messages) {
  SpoolOrigin origin(path.substr(path.rfind('/') + 1));
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    sink(damage(path, 0, "cannot be read", nullptr, 0));
    return false;
  }
  in.seekg(0, std::ios::end);
  const uint64_t size = static_cast<uint64_t>(in.tellg());
  in.seekg(0, std::ios::beg);
  std::vector<uint8_t> body;
  uint64_t offset = 0;
  while (offset < size) {
    uint8_t header[kSpoolHeaderSize];
    const std::size_t got =
        static_cast<std::size_t>(std::min<uint64_t>(sizeof header, size - offset));
    in.read(reinterpret_cast<char*>(header), static_cast<std::streamsize>(got));
    if (got < sizeof header || !in) {
      sink(damage(path, offset, "ends inside a record header", header, got));
      return false;
    }
    uint16_t port = 0;
    uint32_t length = 0;
    const bool marked = qel_wire::decode_spool_header(header, &port, &length);
    const ChannelInfo* channel = marked ? channelOfPort(port) : nullptr;
    if (!channel) {
      sink(damage(path, offset, marked ? "unknown port" : "no record mark", header, got));
      return false;
    }
    const uint64_t len = length;
    if (len > size - offset - sizeof header) {
      const std::size_t left = static_cast<std::size_t>(
          std::min<uint64_t>(size - offset - sizeof header, kMalformedPrefix));
      body.resize(left);
      in.read(reinterpret_cast<char*>(body.data()), static_cast<std::streamsize>(left));
      sink(damage(path, offset, "ends inside a record of " + std::to_string(len) + " bytes",
                  body.data(), left));
      return false;
    }
    Message m;
    m.channel = channel->channel;
    m.port = channel->port;
    if (len > maxMessage) {
      // Never held: its first bytes for the report, the rest skipped.
      const std::size_t kept = static_cast<std::size_t>(std::min<uint64_t>(len, kMalformedPrefix));
      body.resize(kept);
      in.read(reinterpret_cast<char*>(body.data()), static_cast<std::streamsize>(kept));
      in.seekg(static_cast<std::streamoff>(len - kept), std::ios::cur);
      Malformed bad =
          malformed("message of " + std::to_string(len) + " bytes, above the limit of " +
                        std::to_string(maxMessage) + " bytes",
                    body.data(), kept);
      bad.size = len;
      m.body = std::move(bad);
    } else {
      body.resize(static_cast<std::size_t>(len));
      in.read(reinterpret_cast<char*>(body.data()), static_cast<std::streamsize>(len));
      m.body = decode(m.channel, body.data(), static_cast<std::size_t>(len));
      keepWire(&m, body.data(), static_cast<std::size_t>(len));
    }
    if (!in) {
      sink(damage(path, offset, "cannot be read", nullptr, 0));
      return false;
    }
    m.origin = origin.of(m);
    sink(std::move(m));
    ++*messages;
    offset += sizeof header + len;
  }
  return true;
}

}  // namespace

SpoolResult readSpool(const std::string& dir, std::size_t maxMessage,
                      const std::function<void(Message&&)>& sink, bool remove) {
  SpoolResult r;
  for (const std::string& name : spoolFiles(dir)) {
    const std::string path = dir + "/" + name;
    ++r.files;
    if (!readFile(path, maxMessage, sink, &r.messages)) ++r.damaged;
    if (remove) unlink(path.c_str());
  }
  return r;
}

std::size_t removeSpool(const std::string& dir) {
  const std::vector<std::string> names = spoolFiles(dir);
  for (const std::string& name : names) unlink((dir + "/" + name).c_str());
  return names.size();
}

}  // namespace qelc
