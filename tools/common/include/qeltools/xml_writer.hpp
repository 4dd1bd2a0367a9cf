// The one XML writer of the project (Cobertura, JUnit) and its one
// escaping rule, which the HTML pages' text follows too.
//
// The rule: text is written as it is where XML can carry it. The markup
// characters & < > " become entities; in attribute values the apostrophe
// does too, and tab, line feed and carriage return become character
// references, so attribute normalisation keeps them; a carriage return in
// text also becomes a reference. A byte XML 1.0 cannot carry (a control
// character, a byte that is not part of well-formed UTF-8, the noncharacters
// U+FFFE and U+FFFF) is written visibly as \xNN. So every document is well
// formed whatever bytes a program under test or a file name brings.
//
// Layout: every element on a line of its own, indented two spaces per
// level; an element with text only keeps it on its line; an empty element
// is closed with "/>".
#pragma once

#include <charconv>
#include <iosfwd>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace qeltools {

std::string xmlText(std::string_view bytes);
std::string xmlAttribute(std::string_view bytes);

class XmlWriter {
 public:
  explicit XmlWriter(std::ostream& out) : out_(out) {}
  ~XmlWriter();
  XmlWriter(const XmlWriter&) = delete;
  XmlWriter& operator=(const XmlWriter&) = delete;

  // The XML declaration (UTF-8), and a document type with its system
  // identifier when `root` is not empty.
  void prolog(std::string_view root = {}, std::string_view systemId = {});

  XmlWriter& open(std::string_view name);
  XmlWriter& attribute(std::string_view name, std::string_view value);
  XmlWriter& attribute(std::string_view name, const char* value) {
    return attribute(name, std::string_view(value));
  }
  XmlWriter& attribute(std::string_view name, const std::string& value) {
    return attribute(name, std::string_view(value));
  }
  template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer>>>
  XmlWriter& attribute(std::string_view name, Integer value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    return attribute(name, std::string_view(digits, static_cast<std::size_t>(end - digits)));
  }
  XmlWriter& text(std::string_view value);
  XmlWriter& close();
  // Closes every element still open and hands everything to the stream
  // (the writer collects its output and writes it in large pieces).
  void finish();

 private:
  struct Element {
    std::string name;
    bool startOpen = true;  // attributes may still follow
    bool children = false;
  };
  static constexpr std::size_t kFlushAt = 1 << 16;

  void endStartTag();
  void flush();

  std::ostream& out_;
  std::string buf_;
  std::vector<Element> open_;
};

}  // namespace qeltools
