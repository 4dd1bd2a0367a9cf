// index.html and one page per source file, self-contained.
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include "listing.hpp"
#include "outputs.hpp"
#include "qeltools/xml_writer.hpp"

namespace qelc {
namespace {

using qeltools::xmlAttribute;
using qeltools::xmlText;

// Inline style only: the report is opened from disk, often on a machine
// without network, so it may not load anything.
const char* kStyle = R"(<style>
body{font-family:sans-serif;margin:1.5em;color:#222}
table{border-collapse:collapse}
th,td{padding:2px 8px;text-align:right;border-bottom:1px solid #ddd}
th:first-child,td:first-child{text-align:left}
.hi{background:#c8f0c8}.mid{background:#f8e8a0}.lo{background:#f4c0c0}
pre,.src td{font-family:monospace;font-size:13px}
.src td{border:none;padding:0 6px;white-space:pre;text-align:left}
.src td.n,.src td.c{text-align:right;color:#666}
tr.run td.s{background:#dff5df}tr.miss td.s{background:#f8d0d0}
tr.part td.s{background:#f8ecb8}
.dec{margin:2px 0 8px 0;border:1px solid #ccc;font-size:12px}
.dec td{text-align:left;white-space:pre;font-family:monospace}
.bad{color:#b00;font-weight:bold}.note{color:#555}
</style>)";

std::string cls(const Counter& c) {
  if (c.total == 0) return "";
  const double p = c.percent();
  return p >= 90 ? "hi" : p >= 75 ? "mid" : "lo";
}

std::string cellHtml(const Counter& c) {
  return "<td class=\"" + cls(c) + "\">" + percentText(c) + " <span class=\"note\">(" +
         std::to_string(c.covered) + "/" + std::to_string(c.total) + ")</span></td>";
}

std::string rowHtml(const std::string& name, const Totals& t) {
  return "<tr><td>" + name + "</td>" + cellHtml(t.functions) + cellHtml(t.lines) +
         cellHtml(t.branches) + cellHtml(t.conditions) + cellHtml(t.mcdc) + "</tr>\n";
}

const char* kHeadRow =
    "<tr><th>File</th><th>Functions</th><th>Lines</th><th>Branches</th><th>Conditions</th>"
    "<th>MC/DC</th></tr>\n";

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
         xmlText(title) + "</title>" + kStyle + "</head><body>\n" + body + "</body></html>\n";
}

std::string decisionTable(const DecisionCov& d) {
  std::ostringstream os;
  os << "<table class=\"dec\"><tr><td><b>" << xmlText(d.kind.empty() ? "decision" : d.kind)
     << "</b> " << xmlText(d.text) << "  &mdash; true " << d.trueCount << ", false "
     << d.falseCount;
  if (!d.reached()) os << " <span class=\"bad\">never reached</span>";
  switch (d.mcdcRole()) {
    case McdcRole::NotCounted:
      os << "  (branch coverage only)";
      break;
    case McdcRole::TooWide:
      os << " <span class=\"bad\">too wide for MC/DC: 0/" << d.width() << "</span>";
      break;
    case McdcRole::Measured:
      os << "  MC/DC " << d.pairs << "/" << d.width()
         << (d.singleCondition() ? " [single condition]" : "");
      break;
  }
  os << "</td></tr>\n";
  for (std::size_t v = 0; v < d.vectors.size(); ++v)
    os << "<tr><td>  #" << (v + 1) << "  " << vectorColumns(d.vectors[v].codes, d.width())
       << "  &rarr; " << (d.vectors[v].outcome ? "T" : "F") << "  x" << d.vectors[v].count
       << "</td></tr>\n";
  for (const auto& c : d.conditions) {
    os << "<tr><td>  c" << c.index << " " << xmlText(c.text) << ": true " << c.trueCount
       << ", false " << c.falseCount << "  ";
    if (d.mcdcRole() == McdcRole::Measured) {
      if (c.pair)
        os << "pair #" << (c.pairFirst + 1) << "/#" << (c.pairSecond + 1);
      else
        os << "<span class=\"bad\">missing independence pair</span>";
    }
    os << "</td></tr>\n";
  }
  os << "</table>";
  return os.str();
}

std::string filePage(const FileCov& f, const std::string& shown) {
  std::ostringstream os;
  os << "<p><a href=\"index.html\">&larr; index</a></p><h1>" << xmlText(shown) << "</h1>\n<table>"
     << kHeadRow << rowHtml(xmlText(shown), f.totals) << "</table>\n"
     << "<p class=\"note\">Counts per line; red: never run; yellow: a decision on the line "
        "misses an outcome or an independence pair. Vectors: T true, F false, - not evaluated "
        "(short-circuited).</p>\n";
  const SourceListing src = readListing(f);
  if (!src.readable())
    os << "<p class=\"note\">Source not readable when the report was made.</p>\n";
  std::map<int, std::vector<const DecisionCov*>> decs;
  for (const auto& d : f.decisions) decs[d.range.line].push_back(&d);
  os << "<table class=\"src\">\n";
  for (int l : src.lines) {
    const auto it = f.lines.find(l);
    std::string rowCls, count;
    if (it != f.lines.end()) {
      rowCls = it->second ? "run" : "miss";
      count = std::to_string(it->second);
    }
    const auto dit = decs.find(l);
    if (dit != decs.end() && rowCls == "run")
      for (const DecisionCov* d : dit->second)
        if (!d->fullyCovered()) rowCls = "part";
    os << "<tr id=\"L" << l << "\" class=\"" << rowCls << "\"><td class=\"n\">" << l
       << "</td><td class=\"c\">" << count << "</td><td class=\"s\">" << xmlText(src.line(l))
       << "</td></tr>\n";
    if (dit != decs.end())
      for (const DecisionCov* d : dit->second)
        os << "<tr><td></td><td></td><td>" << decisionTable(*d) << "</td></tr>\n";
  }
  os << "</table>\n";
  return page(shown + " - coverage", os.str());
}

bool writeFile(const std::string& path, const std::string& text, std::string* error) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.flush();
  if (!out) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

std::string pageName(std::size_t i, const std::string& path) {
  std::string base = path.substr(path.rfind('/') + 1);
  for (char& c : base)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') c = '_';
  return std::to_string(i + 1) + "_" + base + ".html";
}

// The changed lines' figures, then each changed line never run as a link
// to its place, so a reviewer goes straight to what the change left untested.
std::string changesHtml(const ChangeReport& c, const std::map<std::string, std::string>& pages,
                        const std::string& root) {
  std::ostringstream os;
  os << "<h2>Changed lines</h2>\n<p class=\"note\">" << xmlText(c.against) << "</p>\n";
  if (c.model.files.empty()) {
    os << "<p>No changed line is code the maps know.</p>\n";
    return os.str();
  }
  os << "<table>" << kHeadRow;
  for (const FileCov& f : c.model.files)
    os << rowHtml(xmlText(displayPath(f.path, root)), f.totals);
  os << rowHtml("<b>Total</b>", c.model.totals) << "</table>\n";
  bool any = false;
  for (const FileCov& f : c.model.files) {
    const auto page = pages.find(f.path);
    std::string links;
    for (const auto& [l, count] : f.lines)
      if (!count) {
        const std::string n = std::to_string(l);
        links += page == pages.end()
                     ? " " + n
                     : " <a href=\"" + xmlAttribute(page->second) + "#L" + n + "\">" + n + "</a>";
      }
    if (links.empty()) continue;
    if (!any) os << "<p><b>Changed lines never run</b></p>\n<ul>\n";
    any = true;
    os << "<li>" << xmlText(displayPath(f.path, root)) << ":" << links << "</li>\n";
  }
  if (any) os << "</ul>\n";
  return os.str();
}

}  // namespace

bool writeHtml(const std::string& dir, const CoverageModel& m, std::string* error,
               const ChangeReport* changes) {
  if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
    *error = "cannot create " + dir + ": " + std::strerror(errno);
    return false;
  }
  const std::string root = commonRoot(m);
  std::map<std::string, std::string> pages;
  for (std::size_t i = 0; i < m.files.size(); ++i)
    pages[m.files[i].path] = pageName(i, m.files[i].path);
  std::ostringstream index;
  index << "<h1>Coverage report</h1>\n<p class=\"note\">Files under "
        << xmlText(root.empty() ? "/" : root) << ". MC/DC: " << xmlText(kMcdcForm)
        << ". Single-condition decisions counted: " << m.totals.singleConditionDecisions
        << "; too wide: " << m.totals.tooWideDecisions
        << "; never reached: " << m.totals.unreachedDecisions << ".</p>\n";
  if (changes) index << changesHtml(*changes, pages, root) << "<h2>All files</h2>\n";
  index << "<table>" << kHeadRow;
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    const FileCov& f = m.files[i];
    const std::string shown = displayPath(f.path, root);
    const std::string& name = pages[f.path];
    index << rowHtml("<a href=\"" + xmlAttribute(name) + "\">" + xmlText(shown) + "</a>", f.totals);
    if (!writeFile(dir + "/" + name, filePage(f, shown), error)) return false;
  }
  index << rowHtml("<b>Total</b>", m.totals) << "</table>\n";
  if (!m.unmappedUnits.empty()) {
    index << "<p>Units that sent messages but have no map:";
    for (uint16_t u : m.unmappedUnits) index << " " << u;
    index << "</p>\n";
  }
  return writeFile(dir + "/index.html", page("Coverage report", index.str()), error);
}

}  // namespace qelc
