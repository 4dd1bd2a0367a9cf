// The runtime's spool writer and delivery tally: records appended whole and
// read back by qelcollect's reader, written at once while the program runs
// and in one go at a shutdown, a file that cannot be written counted as a
// loss, and a forked child that never writes its parent's records.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "delivery.h"
#include "net.h"
#include "port.h"
#include "qelmq/protocol/protocol.h"
#include "qelmq/protocol/spool.h"
#include "spool.h"
#include "spool.hpp"

namespace {

using qel_wire::Channel;

class SpoolWriter : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "qel_spool_" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()), 0);
    qel_spool::configure(dir_);
    qel_delivery::reset();
  }
  void TearDown() override {
    qel_net::runtime_stopping.store(false);
    qel_spool::configure("");
    ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  }

  // The spooled messages per port, as text: a node message's count, a
  // property message's text.
  std::map<std::string, std::vector<std::string>> read_back() {
    std::map<std::string, std::vector<std::string>> ports;
    qelc::SpoolResult r = qelc::readSpool(
        dir_, 1 << 20,
        [&](qelc::Message&& m) {
          std::string text = "malformed";
          if (auto* p = std::get_if<qelc::PropertyMsg>(&m.body)) text = p->text;
          if (auto* n = std::get_if<qelc::NodeMsg>(&m.body)) text = std::to_string(n->count);
          ports[std::to_string(m.port)].push_back(text);
        },
        false);
    damaged_ = r.damaged;
    files_ = r.files;
    return ports;
  }

  static std::string node_message(int count) {
    uint8_t msg[qel_wire::kMaxCountedMessage];
    std::size_t len =
        qel_wire::encode_counted(qel_wire::node_record(1, 2, 0, true), count, 1, true, msg);
    return std::string(reinterpret_cast<char*>(msg), len);
  }
  static std::string property_message(const std::string& text) {
    return qel_wire::property_text(4, text) + std::string(1, '\0');
  }
  static bool put(Channel c, const std::string& bytes) {
    return qel_spool::put(c, bytes.data(), bytes.size());
  }

  std::string dir_;
  std::size_t damaged_ = 0, files_ = 0;
};

TEST_F(SpoolWriter, WhileTheProgramRunsAMessageIsWrittenAtOnce) {
  ASSERT_TRUE(put(Channel::Node, node_message(7)));
  auto got = read_back();
  EXPECT_EQ(files_, 1u);
  EXPECT_EQ(got["15555"], std::vector<std::string>{"7"});
  EXPECT_EQ(qel_delivery::totals().spooled[0], 1u);
  EXPECT_NE(qel_spool::path().find(std::to_string(getpid()) + ".qelspool"), std::string::npos);
}

TEST_F(SpoolWriter, AShutdownWritesWhatItSpooledInOneGoAtItsEnd) {
  qel_net::runtime_stopping.store(true);
  ASSERT_TRUE(put(Channel::Node, node_message(1)));
  ASSERT_TRUE(put(Channel::Property, property_message("a leak line")));
  ASSERT_TRUE(put(Channel::Node, node_message(3)));
  EXPECT_TRUE(read_back().empty()) << "nothing written before the flush";
  EXPECT_EQ(qel_delivery::totals().spooled[0], 0u) << "counted once written";
  qel_spool::flush();
  auto got = read_back();
  EXPECT_EQ(damaged_, 0u);
  EXPECT_EQ(got["15555"], (std::vector<std::string>{"1", "3"})) << "in the order spooled";
  ASSERT_EQ(got["15559"].size(), 1u);
  EXPECT_EQ(got["15559"][0], "a leak line");
  qel_delivery::Totals t = qel_delivery::totals();
  EXPECT_EQ(t.spooled[0], 2u);
  EXPECT_EQ(t.spooled[3], 1u);
  EXPECT_EQ(t.dropped[0], 0u);
}

TEST_F(SpoolWriter, AFileThatCannotBeWrittenIsCountedAsALossAndSaidOnce) {
  qel_spool::configure(dir_ + "/missing/dir");
  testing::internal::CaptureStderr();
  put(Channel::Node, node_message(1));
  put(Channel::Node, node_message(2));
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("spool " + dir_ + "/missing/dir/" + std::to_string(getpid()) +
                     ".qelspool cannot be written: "),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("cannot be written", err.find("cannot be written") + 1), std::string::npos)
      << "said once: " << err;
  qel_delivery::Totals t = qel_delivery::totals();
  EXPECT_EQ(t.dropped[0], 2u);
  EXPECT_EQ(t.spooled[0], 0u);
}

TEST_F(SpoolWriter, WithoutASpoolNothingIsTaken) {
  qel_spool::configure("");
  EXPECT_FALSE(qel_spool::enabled());
  EXPECT_FALSE(put(Channel::Node, node_message(1)));
  EXPECT_EQ(qel_spool::path(), "");
}

TEST_F(SpoolWriter, DeliverWithoutASocketSpoolsAndTalliesEachOutcome) {
  qel_net::SendPacing pacing;
  const std::string m = node_message(5);
  EXPECT_EQ(qel_delivery::deliver(nullptr, Channel::Node, m.data(), m.size(), pacing),
            qel_delivery::Outcome::Spooled);
  qel_spool::configure("");
  EXPECT_EQ(qel_delivery::deliver(nullptr, Channel::Node, m.data(), m.size(), pacing),
            qel_delivery::Outcome::Dropped);
  EXPECT_EQ(qel_delivery::deliver(nullptr, Channel::Value, m.data(), m.size(), pacing, false),
            qel_delivery::Outcome::Dropped);
  qel_delivery::Totals t = qel_delivery::totals();
  EXPECT_EQ(t.spooled[0], 1u);
  EXPECT_EQ(t.dropped[0], 1u);
  EXPECT_EQ(t.dropped[5], 0u) << "a sender that counts its own drops is left to do so";
}

// A child forked while the parent had records buffered (a shutdown under
// way) writes its own file and never the parent's records a second time.
TEST_F(SpoolWriter, AForkedChildWritesOnlyItsOwnRecords) {
  qel_port::register_fork_child_hook(qel_spool::reset_in_fork_child);
  qel_net::runtime_stopping.store(true);
  ASSERT_TRUE(put(Channel::Node, node_message(11)));
  std::fflush(nullptr);
  pid_t child = fork();
  if (child == 0) {
    put(Channel::Node, node_message(22));
    qel_spool::flush();
    _exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  qel_spool::flush();
  std::map<std::string, std::vector<std::string>> per_file;
  qelc::readSpool(
      dir_, 1 << 20,
      [&](qelc::Message&& m) {
        if (auto* n = std::get_if<qelc::NodeMsg>(&m.body))
          per_file["all"].push_back(std::to_string(n->count));
      },
      false);
  EXPECT_EQ(per_file["all"].size(), 2u) << "each record exactly once";
  FILE* mine = std::fopen(qel_spool::path().c_str(), "rb");
  ASSERT_NE(mine, nullptr);
  std::fseek(mine, 0, SEEK_END);
  EXPECT_EQ(std::ftell(mine), static_cast<long>(8 + 18)) << "the parent's file: its one record";
  std::fclose(mine);
  const std::string theirs = dir_ + "/" + std::to_string(child) + ".qelspool";
  FILE* f = std::fopen(theirs.c_str(), "rb");
  ASSERT_NE(f, nullptr) << theirs;
  std::fseek(f, 0, SEEK_END);
  EXPECT_EQ(std::ftell(f), static_cast<long>(8 + 18)) << "the child's file: its one record";
  std::fclose(f);
}

}  // namespace
