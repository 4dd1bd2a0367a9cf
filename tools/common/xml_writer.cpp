#include "qeltools/xml_writer.hpp"

#include <cstdio>
#include <ostream>

#include "qeltools/utf8.hpp"

namespace qeltools {
namespace {

enum class Context { Text, Attribute };

// U+FFFE and U+FFFF are no characters to XML 1.0.
bool xmlNoncharacter(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]) == 0xEF && static_cast<unsigned char>(s[i + 1]) == 0xBF &&
         static_cast<unsigned char>(s[i + 2]) >= 0xBE;
}

// The replacement of the character at s[i] (its length in *n), or an empty
// view when it is written as it is.
std::string_view replacement(std::string_view s, std::size_t i, Context where, std::size_t* n,
                             char (&hex)[5]) {
  const bool attribute = where == Context::Attribute;
  const unsigned char c = static_cast<unsigned char>(s[i]);
  *n = 1;
  if (c >= 0x80) {
    const std::size_t len = utf8SequenceLength(s, i);
    if (len && !(len == 3 && xmlNoncharacter(s, i))) {
      *n = len;
      return {};
    }
  } else {
    switch (c) {
      case '&':
        return "&amp;";
      case '<':
        return "&lt;";
      case '>':
        return "&gt;";
      case '"':
        return "&quot;";
      case '\'':
        return attribute ? "&apos;" : std::string_view();
      case '\t':
        return attribute ? "&#9;" : std::string_view();
      case '\n':
        return attribute ? "&#10;" : std::string_view();
      case '\r':
        return "&#13;";
      default:
        if (c >= 0x20 && c != 0x7F) return {};
    }
  }
  std::snprintf(hex, sizeof hex, "\\x%02x", c);
  return hex;
}

void escape(std::string_view s, Context where, std::string& out) {
  std::size_t plain = 0;  // start of the run written as it is
  char hex[5];
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = 1;
    const std::string_view r = replacement(s, i, where, &n, hex);
    if (!r.empty()) {
      out.append(s, plain, i - plain);
      out.append(r);
      plain = i + n;
    }
    i += n;
  }
  out.append(s, plain);
}

std::string escaped(std::string_view s, Context where) {
  std::string out;
  out.reserve(s.size());
  escape(s, where, out);
  return out;
}

}  // namespace

std::string xmlText(std::string_view bytes) { return escaped(bytes, Context::Text); }

std::string xmlAttribute(std::string_view bytes) { return escaped(bytes, Context::Attribute); }

XmlWriter::~XmlWriter() { flush(); }

void XmlWriter::flush() {
  out_.write(buf_.data(), static_cast<std::streamsize>(buf_.size()));
  buf_.clear();
}

void XmlWriter::prolog(std::string_view root, std::string_view systemId) {
  buf_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  if (root.empty()) return;
  buf_ += "<!DOCTYPE ";
  buf_ += root;
  buf_ += " SYSTEM \"";
  buf_ += systemId;
  buf_ += "\">\n";
}

void XmlWriter::endStartTag() {
  if (open_.empty() || !open_.back().startOpen) return;
  buf_ += '>';
  open_.back().startOpen = false;
}

XmlWriter& XmlWriter::open(std::string_view name) {
  if (!open_.empty()) {
    if (!open_.back().children) {
      endStartTag();
      buf_ += '\n';
    }
    open_.back().children = true;
  }
  if (buf_.size() >= kFlushAt) flush();
  buf_.append(2 * open_.size(), ' ');
  buf_ += '<';
  buf_ += name;
  open_.push_back(Element{std::string(name)});
  return *this;
}

XmlWriter& XmlWriter::attribute(std::string_view name, std::string_view value) {
  buf_ += ' ';
  buf_ += name;
  buf_ += "=\"";
  escape(value, Context::Attribute, buf_);
  buf_ += '"';
  return *this;
}

XmlWriter& XmlWriter::text(std::string_view value) {
  endStartTag();
  escape(value, Context::Text, buf_);
  return *this;
}

XmlWriter& XmlWriter::close() {
  if (open_.empty()) return *this;
  const Element e = std::move(open_.back());
  open_.pop_back();
  if (e.startOpen) {
    buf_ += "/>\n";
  } else {
    if (e.children) buf_.append(2 * open_.size(), ' ');
    buf_ += "</";
    buf_ += e.name;
    buf_ += ">\n";
  }
  return *this;
}

void XmlWriter::finish() {
  while (!open_.empty()) close();
  flush();
}

}  // namespace qeltools
