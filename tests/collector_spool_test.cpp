// The collector's side of the spool: the reader (every record decoded as if
// its socket had carried it, damaged files reported and skipped, oversized
// records never held), the same files followed while they are written, and
// the run's private directory that qelcollect hands its programs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "child_config.hpp"
#include "collection.hpp"
#include "qelmq/protocol/texts.h"
#include "runfile.hpp"
#include "spool.hpp"
#include "text_report.hpp"

namespace {

std::string record(uint16_t port, const std::string& body) {
  std::string r = "QS";
  r += static_cast<char>(port >> 8);
  r += static_cast<char>(port & 0xFF);
  const uint32_t n = static_cast<uint32_t>(body.size());
  for (int shift = 24; shift >= 0; shift -= 8) r += static_cast<char>((n >> shift) & 0xFF);
  return r + body;
}

// An 18-byte node message: unit 1, node `node`, count `count`.
std::string node(int node, int count) {
  const unsigned char m[18] = {0x81, 0x01, 0, static_cast<unsigned char>(node),  0, 0, 0, 0, '0',
                               0,    0,    0, static_cast<unsigned char>(count), 0, 0, 0, 1, '1'};
  return std::string(reinterpret_cast<const char*>(m), sizeof(m));
}

std::string leak_none() { return std::string("MemoryLeak:///0 zero zero 0 0") + '\0'; }

class SpoolReader : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::TempDir() + "qelc_spool_" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'").c_str()), 0);
  }
  void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0); }

  void write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
  }

  // "node N count", "property TEXT" or "malformed REASON" per message.
  std::vector<std::string> read(std::size_t max = 1 << 20, bool remove = false) {
    std::vector<std::string> seen;
    result_ = qelc::readSpool(
        dir_, max,
        [&](qelc::Message&& m) {
          if (auto* n = std::get_if<qelc::NodeMsg>(&m.body))
            seen.push_back("node " + std::to_string(n->node) + " " + std::to_string(n->count));
          else if (auto* p = std::get_if<qelc::PropertyMsg>(&m.body))
            seen.push_back("property " + p->text);
          else if (auto* bad = std::get_if<qelc::Malformed>(&m.body))
            seen.push_back("malformed " + bad->reason + " size " + std::to_string(bad->size) +
                           " port " + std::to_string(m.port));
          else
            seen.push_back("other");
        },
        remove);
    return seen;
  }

  std::string dir_;
  qelc::SpoolResult result_;
};

TEST_F(SpoolReader, RecordsDecodeAsTheirSocketWouldHaveDeliveredThem) {
  write("200.qelspool", record(15555, node(3, 7)) + record(15559, leak_none()));
  write("100.qelspool", record(15555, node(1, 2)));
  write("notes.txt", "not a spool file");
  EXPECT_EQ(read(), (std::vector<std::string>{"node 1 2", "node 3 7", "property 0 zero zero 0 0"}))
      << "files in name order, records in file order";
  EXPECT_EQ(result_.files, 2u);
  EXPECT_EQ(result_.messages, 3u);
  EXPECT_EQ(result_.damaged, 0u);
  read(1 << 20, true);
  EXPECT_EQ(read(), std::vector<std::string>{}) << "removed once read";
  EXPECT_EQ(access((dir_ + "/notes.txt").c_str(), F_OK), 0) << "other files are left alone";
}

// A spool is one process's: its messages name that process as a socket's
// connection would, by the pid of the file until an announcement of that
// pid names the stream too (another pid's announcement changes nothing).
TEST_F(SpoolReader, MessagesNameTheProcessOfTheirFile) {
  const std::string start = std::string(
                                ":///process-start pid=4711 stream=00000000000000ab "
                                "protocol=2 program=/bin/p") +
                            '\0';
  const std::string other = std::string(
                                ":///process-command pid=9 stream=0000000000000001 "
                                "command=x") +
                            '\0';
  write("4711.qelspool", record(15555, node(1, 1)) + record(15559, other) + record(15559, start) +
                             record(15555, node(2, 1)));
  std::vector<std::string> origins;
  qelc::readSpool(
      dir_, 1 << 20, [&](qelc::Message&& m) { origins.push_back(m.origin); }, false);
  EXPECT_EQ(origins, (std::vector<std::string>{"4711", "4711", "4711/00000000000000ab",
                                               "4711/00000000000000ab"}));
}

TEST_F(SpoolReader, ADamagedFileIsReportedOnceAndTheRestOfItSkipped) {
  const std::string good = record(15555, node(1, 1));
  struct Case {
    std::string bytes;
    std::string reason;
  } cases[] = {
      // Cut short (a process killed while writing): the file's end.
      {good + good.substr(0, 5), "at byte 26: ends inside a record header"},
      {good + good.substr(0, 20), "at byte 26: ends inside a record of 18 bytes"},
      // Not a record: whatever follows is not read.
      {good + "XS" + good.substr(2) + good, "at byte 26: no record mark"},
      {good + record(15558, node(2, 2)) + good, "at byte 26: unknown port"},
  };
  for (const Case& c : cases) {
    write("1.qelspool", c.bytes);
    std::vector<std::string> seen = read();
    ASSERT_EQ(seen.size(), 2u) << c.reason;
    EXPECT_EQ(seen[0], "node 1 1");
    EXPECT_NE(seen[1].find("malformed spool " + dir_ + "/1.qelspool " + c.reason),
              std::string::npos)
        << seen[1];
    EXPECT_NE(seen[1].find(" port 0"), std::string::npos) << "not from a socket: " << seen[1];
    EXPECT_EQ(result_.damaged, 1u);
  }
}

TEST_F(SpoolReader, AnOversizedRecordIsMalformedAndTheNextOneStillRead) {
  write("1.qelspool", record(15559, std::string(5000, 'x')) + record(15555, node(4, 9)));
  std::vector<std::string> seen = read(1000);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0],
            "malformed message of 5000 bytes, above the limit of 1000 bytes size 5000 "
            "port 15559");
  EXPECT_EQ(seen[1], "node 4 9");
  EXPECT_EQ(result_.damaged, 0u);
}

// A file much larger than what is read at once: records that straddle the
// pieces, a message of no bytes and one larger than a piece are read whole.
TEST_F(SpoolReader, ALargeFileReadsRecordForRecord) {
  std::string bytes, big(700 * 1024, 'y');
  big.back() = '\0';
  std::vector<std::string> want;
  for (int i = 0; i < 40000; ++i) {
    bytes += record(15555, node(i % 250, i % 200 + 1));
    want.push_back("node " + std::to_string(i % 250) + " " + std::to_string(i % 200 + 1));
    if (i == 20000) {
      bytes += record(15559, "") + record(15559, ":///" + big);
      want.push_back("malformed");
      want.push_back("property " + big.substr(0, big.size() - 1));
    }
  }
  write("7.qelspool", bytes);
  std::vector<std::string> seen = read(1 << 20);
  ASSERT_EQ(seen.size(), want.size());
  for (std::size_t i = 0; i < seen.size(); ++i) {
    if (want[i] == "malformed") {
      EXPECT_EQ(seen[i].rfind("malformed", 0), 0u) << "an empty message is a message: " << seen[i];
      continue;
    }
    ASSERT_EQ(seen[i].substr(0, 64), want[i].substr(0, 64)) << "record " << i;
    ASSERT_EQ(seen[i].size(), want[i].size()) << "record " << i;
  }
  EXPECT_EQ(result_.damaged, 0u);
  EXPECT_EQ(result_.messages, want.size());
}

TEST_F(SpoolReader, NoDirectoryNoSpool) {
  ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
  EXPECT_TRUE(read().empty());
  EXPECT_EQ(result_.files, 0u);
  ASSERT_EQ(system(("mkdir -p '" + dir_ + "'").c_str()), 0);
}

// ---- Following the files while they are written

std::string property(const std::string& text) { return ":///" + text + '\0'; }

std::string started(int32_t pid, uint64_t stream, const std::string& program) {
  qel_wire::ProcessStart s;
  s.pid = pid;
  s.stream = stream;
  s.protocol = 2;
  s.program = program;
  return record(15559, property(qel_wire::process_start_text(s)));
}

std::string ended(int32_t pid, uint64_t stream, uint64_t nodes, uint64_t properties) {
  qel_wire::ProcessEnd e;
  e.pid = pid;
  e.stream = stream;
  e.delivered[0] = nodes;
  e.delivered[3] = properties;
  return record(15559, property(qel_wire::process_end_text(e)));
}

// One spool file as a process writes it, and where its records start.
struct SpoolText {
  std::string name;
  std::string bytes;
  std::vector<std::size_t> bounds{0};  // ends of the records, 0 first
  std::size_t garbageAt = std::string::npos;
  void add(const std::string& r) {
    bytes += r;
    bounds.push_back(bytes.size());
  }
};

// A run's spool: a process whose pid a later process reuses, a module
// named, an oversized record, a file cut inside a record and one with
// garbage in the middle; and a process that announces nothing.
std::vector<SpoolText> aRunsSpool() {
  std::vector<SpoolText> files(5);
  files[0].name = "100.qelspool";
  files[0].add(started(100, 0xa, "/bin/first"));
  files[0].add(record(15555, node(1, 2)));
  files[0].add(record(15559, property(qel_wire::module_text("/lib/libone.so"))));
  files[0].add(record(15555, node(2, 3)));
  files[0].add(ended(100, 0xa, 2, 3));
  files[0].add(started(100, 0xb, "/bin/second"));
  files[0].add(record(15555, node(3, 1)));
  files[0].add(ended(100, 0xb, 1, 2));
  files[1].name = "200.qelspool";
  files[1].add(started(200, 0x1, "/bin/third"));
  files[1].add(record(15555, node(4, 5)));
  files[1].add(record(15561, std::string(3000, 'v')));
  files[1].add(record(15555, node(5, 1)));
  files[1].bytes += record(15555, node(6, 1)).substr(0, 12);
  files[2].name = "300.qelspool";
  files[2].add(record(15555, node(7, 1)));
  files[2].garbageAt = files[2].bytes.size();
  files[2].bytes += "XS" + record(15555, node(8, 1)).substr(2) + record(15555, node(9, 1));
  files[3].name = "400.qelspool";
  files[3].add(started(400, 0x4, "/bin/fourth"));
  files[3].add(record(15559, leak_none()));
  files[3].add(ended(400, 0x4, 0, 3));
  files[4].name = "5000.qelspool";
  files[4].add(record(15555, node(1, 4)));
  return files;
}

// What a run made of messages shows: the text report, and the messages of
// each process in the order they came.
struct RunView {
  std::map<std::string, std::vector<std::string>> byProcess;
  qelc::Collection run;
  std::vector<qelc::Message> messages;
  bool damageBeforeTheEnd = false;

  std::function<void(qelc::Message&&)> sink() {
    return [this](qelc::Message&& m) {
      std::string text = std::to_string(m.port) + " ";
      if (const auto* n = std::get_if<qelc::NodeMsg>(&m.body))
        text += "node " + std::to_string(n->node) + " " + std::to_string(n->count);
      else if (const auto* p = std::get_if<qelc::PropertyMsg>(&m.body))
        text += p->text;
      else if (const auto* bad = std::get_if<qelc::Malformed>(&m.body))
        text += bad->reason;
      byProcess[m.origin.substr(0, m.origin.find('/'))].push_back(m.origin + " " + text);
      run.add(m);
      messages.push_back(std::move(m));
    };
  }
  std::string report() const {
    std::ostringstream os;
    qelc::writeTextReport(os, run);
    return os.str();
  }
};

class SpoolFollowerTest : public SpoolReader {
 protected:
  // Writes `files` a chunk of `chunk` bytes per file at a time, with a look
  // after each round; checks after every look that the follower says it is
  // caught up exactly when every file ends on a record's end, short of the
  // garbage. The end of the run reads the rest.
  qelc::SpoolResult follow(qelc::SpoolFollower& f, const std::vector<SpoolText>& files,
                           std::size_t chunk, RunView* view) {
    std::vector<std::size_t> written(files.size(), 0);
    for (bool more = true; more;) {
      more = false;
      for (std::size_t i = 0; i < files.size(); ++i) {
        const std::size_t n = std::min(chunk, files[i].bytes.size() - written[i]);
        if (n == 0) continue;
        std::ofstream(dir_ + "/" + files[i].name, std::ios::binary | std::ios::app)
            << files[i].bytes.substr(written[i], n);
        written[i] += n;
        more = true;
      }
      f.poll(view->sink());
      bool whole = true;
      for (std::size_t i = 0; i < files.size(); ++i) {
        const auto& b = files[i].bounds;
        whole = whole && written[i] <= files[i].garbageAt &&
                std::find(b.begin(), b.end(), written[i]) != b.end();
      }
      EXPECT_EQ(f.caughtUp(), whole) << "chunk " << chunk << ", written " << written[0] << " "
                                     << written[1] << " " << written[2];
    }
    for (const qelc::Message& m : view->messages)
      if (m.port == 0) view->damageBeforeTheEnd = true;
    return f.finish(view->sink(), false);
  }
};

TEST_F(SpoolFollowerTest, FollowingGivesWhatOneReadAtTheEndGives) {
  const std::vector<SpoolText> files = aRunsSpool();
  for (const SpoolText& t : files) write(t.name, t.bytes);
  RunView once;
  const qelc::SpoolResult whole = qelc::readSpool(dir_, 1000, once.sink(), false);
  ASSERT_EQ(whole.damaged, 2u);
  ASSERT_EQ(whole.messages, 17u) << "records read, the damage not counted";
  ASSERT_EQ(once.byProcess["100"].size(), 8u);
  EXPECT_EQ(once.byProcess["100"][6], "100/000000000000000b 15555 node 3 1")
      << "a reused pid appends to the file, its stream named by its own start";
  const std::string report = once.report();

  // Record by record, a few bytes at a time (records and headers split
  // across looks), and whole files: with inotify, and with the sizes read
  // when the directory was not there at the first look.
  for (const bool notified : {true, false}) {
    for (const std::size_t chunk :
         {std::size_t{1}, std::size_t{5}, std::size_t{23}, std::size_t{4096}}) {
      SCOPED_TRACE("chunk " + std::to_string(chunk) + (notified ? ", inotify" : ", sizes"));
      ASSERT_EQ(system(("rm -rf '" + dir_ + "'").c_str()), 0);
      if (notified) {
        ASSERT_EQ(system(("mkdir -p '" + dir_ + "'").c_str()), 0);
      }
      qelc::SpoolFollower f(dir_, 1000);
      RunView view;
      EXPECT_EQ(f.poll(view.sink()), 0u);
      EXPECT_TRUE(f.caughtUp());
      EXPECT_EQ(f.notified(), notified);
      if (!notified) {
        ASSERT_EQ(system(("mkdir -p '" + dir_ + "'").c_str()), 0);
      }
      const qelc::SpoolResult r = follow(f, files, chunk, &view);
      EXPECT_FALSE(view.damageBeforeTheEnd) << "damage is for the end of the run to tell";
      EXPECT_EQ(r.files, whole.files);
      EXPECT_EQ(r.messages, whole.messages);
      EXPECT_EQ(r.damaged, whole.damaged);
      EXPECT_EQ(view.byProcess, once.byProcess);
      EXPECT_EQ(view.report(), report);
      EXPECT_EQ(view.run.everythingAnnouncedArrived(), once.run.everythingAnnouncedArrived());

      // Saved as it came, the run reads back into the same report.
      const std::string saved = dir_ + ".jsonl";
      qelc::RunFileWriter out;
      std::string error;
      ASSERT_TRUE(out.open(saved, qelc::RunFormat::Jsonl, &error)) << error;
      for (const qelc::Message& m : view.messages) out.write(m, 1.0);
      ASSERT_TRUE(out.close());
      RunView back;
      ASSERT_TRUE(qelc::readRunFile(
          saved, [&](qelc::Message&& m, double) { back.sink()(std::move(m)); }, &error))
          << error;
      EXPECT_EQ(back.report(), report);
      std::remove(saved.c_str());
    }
  }
}

TEST_F(SpoolFollowerTest, WhatTheLooksHandedOverIsNeverHandedOverAgain) {
  qelc::SpoolFollower f(dir_, 1 << 20);
  RunView view;
  write("7.qelspool", record(15555, node(1, 1)) + record(15555, node(2, 1)));
  EXPECT_EQ(f.poll(view.sink()), 2u);
  EXPECT_EQ(f.poll(view.sink()), 0u) << "nothing new";
  std::ofstream(dir_ + "/7.qelspool", std::ios::binary | std::ios::app)
      << record(15555, node(3, 1));
  EXPECT_EQ(f.poll(view.sink()), 1u);
  EXPECT_TRUE(f.caughtUp());
  // A file shorter than what was read of it is not the file that was read:
  // nothing more is taken from it, and the end of the run says so.
  write("7.qelspool", record(15555, node(4, 1)));
  EXPECT_EQ(f.poll(view.sink()), 0u);
  EXPECT_FALSE(f.caughtUp());
  const qelc::SpoolResult r = f.finish(view.sink(), true);
  EXPECT_EQ(r.messages, 3u);
  EXPECT_EQ(r.damaged, 1u);
  ASSERT_EQ(view.messages.size(), 4u);
  const auto* bad = std::get_if<qelc::Malformed>(&view.messages[3].body);
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->reason,
            "spool " + dir_ + "/7.qelspool at byte 78: is shorter (26 bytes) than was read");
  EXPECT_NE(access((dir_ + "/7.qelspool").c_str(), F_OK), 0) << "removed once read";
}

// The run's directory: the configuration that makes every process connect
// and spool, the spool itself, and nothing left once the run is over.
TEST(ChildConfig, ARunGetsAPrivateDirectoryWithConfigurationAndSpool) {
  const std::string tmp = testing::TempDir() + "qelc_run_" + std::to_string(getpid());
  ASSERT_EQ(system(("rm -rf '" + tmp + "' && mkdir -p '" + tmp + "'").c_str()), 0);
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  setenv("TMPDIR", tmp.c_str(), 1);
  std::string dir;
  {
    qelc::ChildConfig c;
    qelc::ReceiverOptions recv;
    std::string error;
    ASSERT_TRUE(c.prepare(true, false, recv, error)) << error;
    ASSERT_TRUE(c.active());
    EXPECT_TRUE(recv.bind);
    EXPECT_EQ(recv.host, "127.0.0.1");
    dir = c.path().substr(0, c.path().rfind('/'));
    EXPECT_EQ(dir.compare(0, tmp.size() + 12, tmp + "/qelcollect-"), 0) << dir;
    EXPECT_EQ(c.spoolDir(), dir + "/spool");
    struct stat st;
    ASSERT_EQ(stat(c.spoolDir().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "only the user's processes may spool there";
    std::ifstream in(c.path());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("\nconfig_ip=127.0.0.1\nconfig_state=1\nspool_dir=" + dir + "/spool\n"),
              std::string::npos)
        << text;
    char* base[] = {const_cast<char*>("QELMQ_CONFIG=/elsewhere"), const_cast<char*>("A=b"),
                    nullptr};
    char** env = c.environment(base);
    EXPECT_STREQ(env[0], "A=b");
    EXPECT_EQ(std::string(env[1]), "QELMQ_CONFIG=" + c.path());
    EXPECT_EQ(env[2], nullptr);

    std::ofstream(c.spoolDir() + "/42.qelspool", std::ios::binary) << record(15555, node(5, 6));
    std::vector<std::string> seen;
    qelc::SpoolResult r = c.readSpool([&](qelc::Message&& m) {
      if (auto* n = std::get_if<qelc::NodeMsg>(&m.body)) seen.push_back(std::to_string(n->count));
    });
    EXPECT_EQ(r.messages, 1u);
    EXPECT_EQ(seen, std::vector<std::string>{"6"});
    // A process that ended after the reading still leaves a file behind.
    std::ofstream(c.spoolDir() + "/43.qelspool", std::ios::binary) << record(15555, node(5, 1));
    testing::internal::CaptureStderr();
  }
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "qelcollect: 1 spool file(s) written after the run ended were not read (a process "
            "outlived the command)\n");
  EXPECT_NE(access(dir.c_str(), F_OK), 0) << "the run's directory is removed";
  qelc::ChildConfig none;
  qelc::ReceiverOptions recv;
  std::string error;
  EXPECT_TRUE(none.prepare(false, false, recv, error));
  EXPECT_FALSE(none.active()) << "no command: no configuration for programs";
  EXPECT_EQ(none.spoolDir(), "");
  if (old)
    setenv("TMPDIR", saved.c_str(), 1);
  else
    unsetenv("TMPDIR");
  ASSERT_EQ(system(("rm -rf '" + tmp + "'").c_str()), 0);
}

}  // namespace
