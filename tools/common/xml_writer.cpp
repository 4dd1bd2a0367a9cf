#include "qeltools/xml_writer.hpp"

#include <cstdio>
#include <ostream>

#include "qeltools/utf8.hpp"

namespace qeltools {
namespace {

enum class Context { Text, Attribute };

void visibleByte(std::string& out, unsigned char c) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02x", c);
  out += hex;
}

// U+FFFE and U+FFFF are no characters to XML 1.0.
bool xmlNoncharacter(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]) == 0xEF && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
         static_cast<unsigned char>(s[i + 2]) >= 0xBE;
}

std::string escape(std::string_view s, Context where) {
  const bool attribute = where == Context::Attribute;
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const std::size_t n = utf8SequenceLength(s, i);
      if (n && !(n == 3 && xmlNoncharacter(s, i))) {
        out.append(s, i, n);
        i += n;
      } else {
        visibleByte(out, c);
        ++i;
      }
      continue;
    }
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += attribute ? "&apos;" : "'";
        break;
      case '\t':
        out += attribute ? "&#9;" : "\t";
        break;
      case '\n':
        out += attribute ? "&#10;" : "\n";
        break;
      case '\r':
        out += "&#13;";
        break;
      default:
        if (c < 0x20 || c == 0x7F)
          visibleByte(out, c);
        else
          out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

}  // namespace

std::string xmlText(std::string_view bytes) { return escape(bytes, Context::Text); }

std::string xmlAttribute(std::string_view bytes) { return escape(bytes, Context::Attribute); }

void XmlWriter::prolog(std::string_view root, std::string_view systemId) {
  out_ << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  if (!root.empty()) out_ << "<!DOCTYPE " << root << " SYSTEM \"" << systemId << "\">\n";
}

void XmlWriter::indent(std::size_t depth) {
  for (std::size_t i = 0; i < depth; ++i) out_ << "  ";
}

void XmlWriter::endStartTag() {
  if (open_.empty() || !open_.back().startOpen) return;
  out_ << '>';
  open_.back().startOpen = false;
}

XmlWriter& XmlWriter::open(std::string_view name) {
  if (!open_.empty()) {
    if (!open_.back().children) {
      endStartTag();
      out_ << '\n';
    }
    open_.back().children = true;
  }
  indent(open_.size());
  out_ << '<' << name;
  open_.push_back(Element{std::string(name)});
  return *this;
}

XmlWriter& XmlWriter::attribute(std::string_view name, std::string_view value) {
  out_ << ' ' << name << "=\"" << xmlAttribute(value) << '"';
  return *this;
}

XmlWriter& XmlWriter::text(std::string_view value) {
  endStartTag();
  out_ << xmlText(value);
  return *this;
}

XmlWriter& XmlWriter::close() {
  if (open_.empty()) return *this;
  const Element e = std::move(open_.back());
  open_.pop_back();
  if (e.startOpen) {
    out_ << "/>\n";
  } else {
    if (e.children) indent(open_.size());
    out_ << "</" << e.name << ">\n";
  }
  return *this;
}

void XmlWriter::finish() {
  while (!open_.empty()) close();
}

}  // namespace qeltools
