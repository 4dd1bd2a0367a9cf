// The libraries every tool shares: XML that stays well formed whatever
// bytes it is given, JSON that carries any bytes and reads them back, and
// command lines that read numbers and report mistakes alike.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "qeltools/command_line.hpp"
#include "qeltools/json_io.hpp"
#include "qeltools/xml_writer.hpp"

using namespace qeltools;

namespace {

std::string allBytes() {
  std::string s;
  for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

std::string randomBytes(std::mt19937& rng, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned r = rng();
    // Mostly UTF-8 lead and continuation bytes, so sequences form and break.
    s += static_cast<char>(r % 3 == 0 ? 0x80 + r % 0x80 : r % 3 == 1 ? 0xC0 + r % 0x40 : r % 128);
  }
  return s;
}

bool xmllintAccepts(const std::string& xml, std::string* out) {
  if (std::system("command -v xmllint >/dev/null 2>&1") != 0) return true;
  const std::string path = ::testing::TempDir() + "qeltools_" + std::to_string(rand()) + ".xml";
  std::ofstream(path, std::ios::binary) << xml;
  const std::string log = path + ".log";
  const int rc = std::system(("xmllint --noout " + path + " >" + log + " 2>&1").c_str());
  std::ifstream in(log);
  std::stringstream ss;
  ss << in.rdbuf();
  *out = ss.str();
  std::remove(path.c_str());
  std::remove(log.c_str());
  return rc == 0;
}

int parseArgs(CommandLine& cl, std::vector<const char*> args) {
  args.insert(args.begin(), cl.tool().c_str());
  return cl.parse(static_cast<int>(args.size()), args.data());
}

}  // namespace

TEST(ToolsXml, OneEscapingRuleForTextAndAttributes) {
  EXPECT_EQ(xmlText("a<b>&\"c' \t\n"), "a&lt;b&gt;&amp;&quot;c' \t\n");
  EXPECT_EQ(xmlAttribute("a<b>&\"c' \t\n"), "a&lt;b&gt;&amp;&quot;c&apos; &#9;&#10;");
  EXPECT_EQ(xmlText("\r"), "&#13;");
  // What XML cannot carry is shown, never dropped: controls, DEL, bytes
  // outside well-formed UTF-8, the noncharacters U+FFFE and U+FFFF.
  EXPECT_EQ(xmlText(std::string("x\0y\x1b\x7f", 5)), "x\\x00y\\x1b\\x7f");
  EXPECT_EQ(xmlText("\xca\xfe"), "\\xca\\xfe");
  EXPECT_EQ(xmlText("\xb5\xda"
                    "1\xb8"),
            "\\xb5\\xda1\\xb8");                          // GBK text
  EXPECT_EQ(xmlText("\xe0\x80\x80"), "\\xe0\\x80\\x80");  // overlong
  EXPECT_EQ(xmlText("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // surrogate
  EXPECT_EQ(xmlText("\xef\xbf\xbe"), "\\xef\\xbf\\xbe");  // U+FFFE
  // Text in UTF-8 stays text.
  EXPECT_EQ(xmlText("caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"),
            "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80");
}

TEST(ToolsXml, AnyBytesMakeAWellFormedDocument) {
  std::mt19937 rng(7);
  std::ostringstream os;
  XmlWriter xml(os);
  xml.prolog();
  xml.open("root").attribute("all", allBytes());
  xml.open("text").text(allBytes()).close();
  for (int i = 0; i < 200; ++i) {
    const std::string s = randomBytes(rng, 1 + rng() % 40);
    xml.open("item").attribute("value", s).text(s).close();
  }
  xml.finish();
  std::string out;
  EXPECT_TRUE(xmllintAccepts(os.str(), &out)) << out;
}

TEST(ToolsXml, LayoutOneElementALine) {
  std::ostringstream os;
  XmlWriter xml(os);
  xml.prolog("root", "root.dtd");
  xml.open("root").attribute("n", 3);
  xml.open("empty").close();
  xml.open("text").attribute("a", "b").text("t").close();
  xml.open("nested").open("leaf").attribute("x", -1).close();
  xml.finish();
  EXPECT_EQ(os.str(),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<!DOCTYPE root SYSTEM \"root.dtd\">\n"
            "<root n=\"3\">\n"
            "  <empty/>\n"
            "  <text a=\"b\">t</text>\n"
            "  <nested>\n"
            "    <leaf x=\"-1\"/>\n"
            "  </nested>\n"
            "</root>\n");
}

TEST(ToolsJson, AnyBytesGoThereAndBack) {
  // Every byte alone and in random company: written as valid JSON, read
  // back as the same bytes.
  std::mt19937 rng(11);
  std::vector<std::string> samples = {allBytes(), "", "plain", "caf\xc3\xa9", "\xff\x80\xe9"};
  for (int i = 0; i < 500; ++i) samples.push_back(randomBytes(rng, rng() % 30));
  for (const std::string& s : samples) {
    Json doc;
    doc["s"] = jsonBytes(s);
    const std::string text = dumpJson(doc);
    Json back;
    std::string error;
    ASSERT_TRUE(parseJson(text, &back, &error, ByteEscapes::AreBytes)) << error << text;
    EXPECT_EQ(bytesOf(back["s"]), s) << text;
    EXPECT_EQ(bytesOf(jsonBytes(s)), s);
  }
}

TEST(ToolsJson, TheByteRuleAsWritten) {
  EXPECT_EQ(jsonStringLiteral(std::string("a\"b\\c\n\x01") + "\xC3\xA9" + "\xFF"),
            "\"a\\\"b\\\\c\\n\\u0001\xC3\xA9\\u00ff\"");
  // Documents written by other tools: an escape is the character it names.
  Json v;
  std::string error;
  ASSERT_TRUE(parseJson(R"({"t":"caf\u00e9"})", &v, &error));
  EXPECT_EQ(bytesOf(v["t"]), "caf\xc3\xa9");
  // Files that carry a program's bytes: the same escape is the byte.
  ASSERT_TRUE(parseJson(R"({"t":"caf\u00e9","u":"\\u00e9"})", &v, &error, ByteEscapes::AreBytes));
  EXPECT_EQ(bytesOf(v["t"]), "caf\xe9");
  EXPECT_EQ(bytesOf(v["u"]), "\\u00e9");  // an escaped backslash is no escape
  // A string that never went through jsonBytes() cannot abort the writer.
  Json raw;
  raw["s"] = std::string("\xff");
  EXPECT_NO_THROW(dumpJson(raw));
  EXPECT_FALSE(parseJson("{\"a\":", &v, &error));
  EXPECT_NE(error.find("parse error"), std::string::npos) << error;
}

TEST(ToolsJson, CheckedFieldsNeverWrapOrTruncate) {
  Json v;
  std::string error;
  ASSERT_TRUE(parseJson(R"({"u":65535,"big":65536,"neg":-1,"s":"x","f":1.5,"n":null,"b":true})", &v,
                        &error));
  uint64_t u = 9;
  EXPECT_TRUE(readUnsigned(v, "u", 65535, &u, &error));
  EXPECT_EQ(u, 65535u);
  EXPECT_TRUE(readUnsigned(v, "missing", 65535, &u, &error));
  EXPECT_EQ(u, 0u);
  EXPECT_TRUE(readUnsigned(v, "n", 65535, &u, &error));
  for (const char* bad : {"big", "neg", "s", "f", "b"}) {
    error.clear();
    EXPECT_FALSE(readUnsigned(v, bad, 65535, &u, &error)) << bad;
    EXPECT_NE(error.find(bad), std::string::npos) << error;
  }
  int64_t i = 0;
  EXPECT_TRUE(readSigned(v, "neg", -5, 5, &i, &error));
  EXPECT_EQ(i, -1);
  EXPECT_FALSE(readSigned(v, "big", -5, 5, &i, &error));
  bool b = false;
  EXPECT_TRUE(readBool(v, "b", &b, &error));
  EXPECT_TRUE(b);
  EXPECT_FALSE(readBool(v, "u", &b, &error));
  std::string s;
  EXPECT_TRUE(readBytes(v, "s", &s, &error));
  EXPECT_EQ(s, "x");
  EXPECT_FALSE(readBytes(v, "u", &s, &error));
}

TEST(ToolsCommandLine, NumbersAreDecimalAndInRange) {
  CommandLine cl("tool", "usage: tool [options]\n", "");
  long n = -1;
  double p = -1;
  addInteger(cl.app(), "--n", &n, 0, 100, "a number");
  addPercentage(cl.app(), "--p", &p, "a percentage");
  EXPECT_EQ(parseArgs(cl, {"--n", "010", "--p", "37.5"}), -1);
  EXPECT_EQ(n, 10);  // never octal
  EXPECT_DOUBLE_EQ(p, 37.5);
  for (std::vector<const char*> bad : std::vector<std::vector<const char*>>{{"--n", "0x10"},
                                                                            {"--n", "101"},
                                                                            {"--n", "-1"},
                                                                            {"--n", ""},
                                                                            {"--n", "1e2"},
                                                                            {"--p", "nan"},
                                                                            {"--p", "inf"},
                                                                            {"--p", "100.1"},
                                                                            {"--p", "-0.5"},
                                                                            {"--n"}}) {
    CommandLine again("tool", "usage: tool [options]\n", "");
    addInteger(again.app(), "--n", &n, 0, 100, "a number");
    addPercentage(again.app(), "--p", &p, "a percentage");
    testing::internal::CaptureStderr();
    EXPECT_EQ(parseArgs(again, bad), kExitUsage) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("tool: ", 0), 0u) << err;
    EXPECT_NE(err.find("tool --help for more"), std::string::npos) << err;
  }
}

TEST(ToolsCommandLine, UnknownWordsHelpAndPassedCommands) {
  CommandLine cl("tool", "usage: tool [options] COMMAND...\n", "What it does.\n", "Footer.");
  bool flag = false;
  cl.app().add_flag("--flag", flag, "a flag")->group("Things");
  testing::internal::CaptureStderr();
  EXPECT_EQ(parseArgs(cl, {"--bogus"}), kExitUsage);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("unknown option \"--bogus\""),
            std::string::npos);

  CommandLine help("tool", "usage: tool [options] COMMAND...\n", "What it does.\n", "Footer.");
  help.app().add_flag("--flag", flag, "a flag")->group("Things");
  testing::internal::CaptureStdout();
  EXPECT_EQ(parseArgs(help, {"--help"}), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "usage: tool [options] COMMAND...\n\nWhat it does.\n\nThings:\n"
            "  --flag              a flag\n\nOptions:\n  -h, --help          show this help\n"
            "\nFooter.\n");

  // A launcher: from the first word on, the rest is someone else's.
  CommandLine launcher("tool", "usage: tool [options] COMMAND...\n", "");
  launcher.app().add_flag("--flag", flag, "a flag");
  launcher.passRest();
  EXPECT_EQ(parseArgs(launcher, {"--flag", "gcc", "--flag", "-c", "x.c"}), -1);
  EXPECT_TRUE(flag);
  EXPECT_EQ(launcher.rest(), (std::vector<std::string>{"gcc", "--flag", "-c", "x.c"}));
  CommandLine wrong("tool", "usage: tool [options] COMMAND...\n", "");
  wrong.passRest();
  testing::internal::CaptureStderr();
  EXPECT_EQ(parseArgs(wrong, {"--flag", "gcc"}), kExitUsage);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("unknown option \"--flag\""),
            std::string::npos);
}

// Options in their own words: a missing value names what it needs, a flag
// refuses a value, and "--" ends the options without being a word itself.
TEST(ToolsCommandLine, MissingValuesFlagsAndTheEndOfOptions) {
  const auto parsed = [](const std::vector<const char*>& words, std::string* err,
                         std::vector<std::string>* positional) {
    CommandLine cl("tool", "usage: tool [options] [ROOT]", "");
    bool flag = false;
    std::string file;
    cl.addFlag("--flag", &flag, "a flag");
    cl.needsValue(cl.app().add_option("--file", file, "a file"), "a file");
    cl.app().add_option("ROOT", *positional)->expected(1, -1);
    std::vector<const char*> argv{"tool"};
    argv.insert(argv.end(), words.begin(), words.end());
    testing::internal::CaptureStderr();
    const int status = cl.parse(static_cast<int>(argv.size()), argv.data());
    *err = testing::internal::GetCapturedStderr();
    return status;
  };
  std::string err;
  std::vector<std::string> words;
  EXPECT_EQ(parsed({"--file"}, &err, &words), kExitUsage);
  EXPECT_EQ(err.rfind("tool: option --file needs a file\n", 0), 0u) << err;
  EXPECT_EQ(parsed({"--flag=1"}, &err, &words), kExitUsage);
  EXPECT_EQ(err.rfind("tool: option --flag takes no value\n", 0), 0u) << err;
  words.clear();
  EXPECT_EQ(parsed({"--flag", "--", "--file"}, &err, &words), -1) << err;
  EXPECT_EQ(words, std::vector<std::string>{"--file"});
}
