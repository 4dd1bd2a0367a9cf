// ZeroMQ loaded only when a socket is needed, and a short process with a
// spool that never needs one: each case is a forked child that bootstraps
// the runtime, counts, shuts down and reports; the parent reads what the
// child left in its spool and on its standard error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>

#include "port_zmq.h"
#include "qelmq/probes.h"
#include "qelmq/protocol/protocol.h"
#include "spool.h"
#include "spool.hpp"

namespace {

constexpr const char* kAbsentLibrary = "libqel-absent-zmq.so.5";

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int occurrences(const std::string& text, const std::string& needle) {
  int n = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
    ++n;
  return n;
}

// What a child left behind.
struct Child {
  int status = -1;
  std::string err;
  pid_t pid = 0;
};

class LazyZmq : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "qel_lazy_" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "/spool'").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  // Connect mode towards an address where nobody listens; with or without
  // the spool qelcollect would name.
  std::string config(bool spool) {
    const std::string path = dir_ + (spool ? "/spool.cfg" : "/plain.cfg");
    std::ofstream(path) << "config_ip=127.0.0.2\nconfig_state=1\n"
                        << (spool ? "spool_dir=" + dir_ + "/spool\n" : std::string());
    return path;
  }

  // Runs `body` in a child whose runtime reads `cfg`; its exit status is
  // what body returns.
  Child run(const std::string& cfg, const std::function<int()>& body) {
    Child c;
    const std::string err = dir_ + "/stderr";
    std::fflush(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
      const int fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd < 0) _exit(100);
      dup2(fd, 2);
      setenv("QELMQ_CONFIG", cfg.c_str(), 1);
      setenv("QELMQ_TRACE", "stderr", 1);
      setenv("QELMQ_COLLECTOR_WAIT_MS", "0", 1);
      _exit(body());
    }
    waitpid(c.pid, &c.status, 0);
    c.err = read_file(err);
    return c;
  }

  // The messages of the spool: node counts per (unit, node), and the texts
  // of the property channel.
  struct Spooled {
    std::map<std::pair<int, int>, long> nodes;
    std::string properties;
    int property_messages = 0;
    std::size_t damaged = 0;
  };
  Spooled read_spool() {
    Spooled s;
    qelc::SpoolResult r = qelc::readSpool(
        dir_ + "/spool", 1 << 20,
        [&](qelc::Message&& m) {
          if (auto* n = std::get_if<qelc::NodeMsg>(&m.body))
            s.nodes[{n->unit, n->node}] += n->count;
          if (auto* p = std::get_if<qelc::PropertyMsg>(&m.body)) {
            s.properties += p->text + "\n";
            ++s.property_messages;
          }
        },
        true);
    s.damaged = r.damaged;
    return s;
  }

  std::string dir_;
};

// Hits `from` to 299 over 3 nodes (100 per node with the hits before
// `from`), then the shutdown.
int count_and_exit(int unit, int from) {
  for (int i = from; i < 300; ++i) QelNode(unit, i % 3, 0);
  QelExit();
  return 0;
}

TEST_F(LazyZmq, AShortProcessWithASpoolNeverLoadsZeroMQAndSpoolsExactly) {
  Child c = run(config(true), [] {
    QelNode(21, 0, 0);  // bootstraps
    // The start is in the spool from the bootstrap on, before any exit.
    const std::string file = read_file(qel_spool::path());
    if (file.find("process-start pid=" + std::to_string(getpid())) == std::string::npos) return 10;
    if (file.find("process-command pid=") == std::string::npos) return 11;
    count_and_exit(21, 1);
    return qel_port::zmq::loaded() ? 12 : 0;
  });
  ASSERT_TRUE(WIFEXITED(c.status)) << c.err;
  ASSERT_EQ(WEXITSTATUS(c.status), 0) << c.err;
  const Spooled s = read_spool();
  EXPECT_EQ(s.damaged, 0u);
  for (int node = 0; node < 3; ++node) EXPECT_EQ((s.nodes.at({21, node})), 100) << node;
  EXPECT_EQ(occurrences(s.properties, "process-start pid="), 1) << s.properties;
  EXPECT_EQ(occurrences(s.properties, "process-end pid="), 1) << s.properties;
  EXPECT_EQ(c.err.find("messages dropped"), std::string::npos) << c.err;
  EXPECT_EQ(c.err.find("ZeroMQ not loaded"), std::string::npos) << c.err;
}

// Without ZeroMQ on the host, a process that wants a socket while it runs
// (a leak report) says once why it has none, and its messages take the way
// of undeliverable ones: into the spool, counted, the end's tally exact.
TEST_F(LazyZmq, WithoutTheLibraryEverythingGoesToTheSpoolAndItIsSaidOnce) {
  Child c = run(config(true), [] {
    qel_port::zmq::set_library_name(kAbsentLibrary);
    QelNode(22, 0, 0);  // bootstraps
    check_leaks();
    return count_and_exit(22, 1);
  });
  ASSERT_TRUE(WIFEXITED(c.status)) << c.err;
  EXPECT_EQ(WEXITSTATUS(c.status), 0) << c.err;
  EXPECT_EQ(occurrences(c.err, "ZeroMQ not loaded (" + std::string(kAbsentLibrary) + ": "), 1)
      << c.err;
  EXPECT_EQ(c.err.find("messages dropped"), std::string::npos) << c.err;
  const Spooled s = read_spool();
  for (int node = 0; node < 3; ++node) EXPECT_EQ((s.nodes.at({22, node})), 100) << node;
  // Both leak reports (the running one and the exit's) and the end: every
  // property message the end counts is in the spool.
  const std::size_t end = s.properties.find("process-end pid=");
  ASSERT_NE(end, std::string::npos) << s.properties;
  const std::size_t delivered = s.properties.find("delivered=", end);
  ASSERT_NE(delivered, std::string::npos);
  int counts[8] = {};
  ASSERT_EQ(std::sscanf(s.properties.c_str() + delivered, "delivered=%d,%d,%d,%d,%d,%d,%d,%d",
                        &counts[0], &counts[1], &counts[2], &counts[3], &counts[4], &counts[5],
                        &counts[6], &counts[7]),
            8);
  EXPECT_EQ(counts[0], 3) << "one message per distinct node";
  EXPECT_EQ(counts[3], s.property_messages) << s.properties;
}

// And without a spool they are dropped, and the drop is named: never a
// crash, never a hang, never silent.
TEST_F(LazyZmq, WithoutTheLibraryOrASpoolTheDropIsNamed) {
  Child c = run(config(false), [] {
    qel_port::zmq::set_library_name(kAbsentLibrary);
    return count_and_exit(23, 0);
  });
  ASSERT_TRUE(WIFEXITED(c.status)) << c.err;
  EXPECT_EQ(WEXITSTATUS(c.status), 0) << c.err;
  EXPECT_EQ(occurrences(c.err, "ZeroMQ not loaded ("), 1) << c.err;
  EXPECT_NE(c.err.find("messages dropped, no collector connected within 0 ms of the start: node 3"),
            std::string::npos)
      << c.err;
}

}  // namespace
