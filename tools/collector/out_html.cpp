// index.html and one page per source file, self-contained.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
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

// Inline style and script only: the report is opened from disk, often on a
// machine without network, so it may not load anything.
const char* kStyle = R"CSS(<style>
body{font-family:sans-serif;margin:1.5em;color:#222}
table{border-collapse:collapse}
th,td{padding:2px 8px;text-align:right;border-bottom:1px solid #ddd}
th:first-child,td:first-child{text-align:left}
th{cursor:pointer;user-select:none}
tr.f td{background:#eef;font-weight:bold}
.hi{background:#c8f0c8}.mid{background:#f8e8a0}.lo{background:#f4c0c0}
.bad{color:#b00;font-weight:bold}.note{color:#555}
.problems{border:2px solid #b00;padding:0 1em;margin-bottom:1em}
#src{font-family:monospace;font-size:13px;counter-reset:l}
#src p{margin:0;white-space:pre;padding-left:13ch;counter-increment:l;position:relative;
scroll-margin-top:3em}
#src p::before{content:counter(l);position:absolute;left:0;top:0;width:5ch;text-align:right;color:#666}
#src p[data-c]::after{content:attr(data-c);position:absolute;left:5ch;top:0;width:7ch;
text-align:right;color:#666}
#src p[data-c]{background:#dff5df}#src p[data-c="0"]{background:#f8d0d0}
#src p.p{background:#f8ecb8}
#src .d,#src .p{cursor:pointer}
#src p:target{outline:2px solid #36c}
#src details{margin:2px 0 8px 13ch;border:1px solid #ccc;font-size:12px;white-space:pre;
padding:2px 6px}
#nav{position:sticky;top:0;background:#fff;padding:4px 0;border-bottom:1px solid #ccc}
</style>)CSS";

// The file page's behaviour: "n"/"j" and "p"/"k" (and the two links) move
// to the next or previous stop of S (lines never run, decisions not fully
// covered, MC/DC pairs missing); a click on a line with decisions opens
// their details, built then from D, so the page grows with the source, not
// with the decisions.
const char* kFileScript = R"JS(<script>
(function(){
var W=["line never run","decision not fully covered","MC/DC pair missing"],S=[];
function pairs(x){return x[7].filter(function(c){return c[c.length-2]>=0}).length}
function pairMissing(x){return x[6]==1||x[6]==0&&pairs(x)<x[7].length}
Array.prototype.forEach.call(document.querySelectorAll("#src p[data-c='0'],#src p.p"),
function(p){var l=+p.id.slice(1);
S.push([l,p.dataset.c=="0"?0:D[l].some(pairMissing)?2:1])});
function here(){var m=/^#L(\d+)$/.exec(location.hash);return m?+m[1]:0}
function go(d){if(!S.length)return;var h=here(),i;
if(d>0){for(i=0;i<S.length&&S[i][0]<=h;i++);if(i==S.length)i=0}
else{for(i=S.length-1;i>=0&&S[i][0]>=h;i--);if(i<0)i=S.length-1}
location.hash="#L"+S[i][0];
document.getElementById("at").textContent=(i+1)+" of "+S.length+": line "+S[i][0]+", "+W[S[i][1]]}
document.getElementById("nx").onclick=function(e){e.preventDefault();go(1)};
document.getElementById("pv").onclick=function(e){e.preventDefault();go(-1)};
document.addEventListener("keydown",function(e){if(e.ctrlKey||e.metaKey||e.altKey)return;
if(e.key=="n"||e.key=="j")go(1);else if(e.key=="p"||e.key=="k")go(-1)});
function text(l){var e=document.getElementById("L"+l);return e?e.firstChild?
e.firstChild.textContent.replace(/\n$/,""):"":""}
function cut(l,c,el,ec){if(l==el)return text(l).slice(c-1,ec-1);var s=text(l).slice(c-1);
for(var k=l+1;k<el;k++)s+="\n"+text(k);return s+"\n"+text(el).slice(0,ec-1)}
function who(ids){return ids.map(function(i){return TN[i][0]+(TN[i][1]?" (failed)":"")})
.join(", ")}
function detail(l,x){var r=[],w=x[7].length,t=x[4],f=x[5];
r.push(N[x[0]]+" "+cut(l,x[1],l+x[2],x[3])+"  \u2014 true "+t+", false "+f+
(t+f==0&&!x[8].length?"  never reached":!t?"  missing true":!f?"  missing false":""));
r.push(x[6]==2?"  (branch coverage only)":x[6]==1?"  too wide for MC/DC: 0/"+w:
"  MC/DC "+pairs(x)+"/"+w+(w==1?" [single condition]":""));
x[8].forEach(function(v,i){var s=v[0];r.push("    #"+(i+1)+"  "+
s.slice(0,-1).split("").join(" ")+"  \u2192 "+(s.slice(-1)=="1"?"T":"F")+"  x"+v[1]+
(v[2]?"  by "+who(v[2]):""))});
x[7].forEach(function(c,i){if(c.length<8)c=[l,c[0],l,c[1],c[2],c[3],c[4],c[5]];
r.push("    c"+i+" "+cut(c[0],c[1],c[2],c[3])+": true "+c[4]+", false "+c[5]+
(x[6]?"":c[6]<0?"  missing independence pair":"  pair #"+(c[6]+1)+"/#"+(c[7]+1)))});
return r.join("\n")}
document.getElementById("src").addEventListener("click",function(e){
var p=e.target.closest("p");if(!p)return;var l=+p.id.slice(1),t=T&&T[l];
if(!D[l]&&!t)return;var g=p.nextSibling;
if(g&&g.tagName=="DETAILS"){g.open=!g.open;return}
g=document.createElement("details");g.open=true;var s=document.createElement("summary");
s.textContent=(D[l]?"decisions of line ":"line ")+l;g.appendChild(s);
var r=(D[l]||[]).map(function(x){return detail(l,x)});
if(t)r.push("run by "+t.length+" of "+TN.length+" tests: "+who(t));
g.appendChild(document.createTextNode(r.join("\n")));
p.parentNode.insertBefore(g,p.nextSibling)});
})();
</script>)JS";

// Click a heading to sort: files within each folder, and the folders by
// their own figures.
const char* kIndexScript = R"JS(<script>
(function(){
var t=document.getElementById("files");if(!t)return;var dir={};
function key(r,k){var c=r.cells[k];return k?+c.dataset.v:c.textContent.trim().toLowerCase()}
function cmp(k,s){return function(a,b){var x=key(a,k),y=key(b,k);return x<y?-s:x>y?s:0}}
Array.prototype.forEach.call(t.tHead.rows[0].cells,function(h,k){h.onclick=function(){
var s=dir[k]=dir[k]==1?-1:1,bs=Array.prototype.slice.call(t.tBodies);
bs.forEach(function(b){var rs=Array.prototype.slice.call(b.rows,1);rs.sort(cmp(k,s));
rs.forEach(function(r){b.appendChild(r)})});
bs.sort(function(a,b){return cmp(k,s)(a.rows[0],b.rows[0])});
bs.forEach(function(b){t.insertBefore(b,t.tFoot)})}})
})();
</script>)JS";

std::string cls(const Counter& c) {
  if (c.total == 0) return "";
  const double p = c.percent();
  return p >= 90 ? "hi" : p >= 75 ? "mid" : "lo";
}

// data-v: what the index sorts by (-1 for nothing to cover).
std::string cellHtml(const Counter& c) {
  char v[32];
  std::snprintf(v, sizeof v, "%.1f", c.total ? c.percent() : -1.0);
  return "<td class=\"" + cls(c) + "\" data-v=\"" + v + "\">" + percentText(c) +
         " <span class=\"note\">(" + std::to_string(c.covered) + "/" + std::to_string(c.total) +
         ")</span></td>";
}

std::string rowHtml(const std::string& name, const Totals& t, const char* rowClass = nullptr) {
  return std::string("<tr") + (rowClass ? std::string(" class=\"") + rowClass + "\"" : "") +
         "><td>" + name + "</td>" + cellHtml(t.functions) + cellHtml(t.lines) +
         cellHtml(t.branches) + cellHtml(t.conditions) + cellHtml(t.mcdc) + "</tr>\n";
}

const char* kHeadRow =
    "<tr><th>File</th><th>Functions</th><th>Lines</th><th>Branches</th><th>Conditions</th>"
    "<th>MC/DC</th></tr>\n";

std::string page(const std::string& title, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" +
         xmlText(title) + "</title>" + kStyle + "</head><body>\n" + body + "</body></html>\n";
}

// A text as a JavaScript string inside a <script>: nothing in it can close
// the element or be read as markup.
std::string jsString(const std::string& s) {
  std::string out = "\"";
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c >= 0x7f || c == '<' || c == '>' || c == '&') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string idList(const TestSet& s) {
  std::string out = "[";
  for (std::size_t i = 0; i < s.size(); ++i) out += (i ? "," : "") + std::to_string(s[i]);
  return out + "]";
}

// One decision as the page's script reads it: kind (index into N), column,
// end line (from the line), end column, true and false counts, MC/DC role
// (0 measured, 1 too wide, 2 switch), conditions [column,
// end column, true, false, pair first, pair second] (with line and end
// line first when not on the decision's line), vectors [codes and
// outcome, count, the tests that sent it]. Texts are cut from the listed source, not repeated.
void decisionData(std::ostream& os, const DecisionCov& d, std::map<std::string, int>* kinds,
                  bool withTests) {
  const int role = d.mcdcRole() == McdcRole::Measured  ? 0
                   : d.mcdcRole() == McdcRole::TooWide ? 1
                                                       : 2;
  const int kind =
      kinds->emplace(d.kind.empty() ? "decision" : d.kind, kinds->size()).first->second;
  const int line = d.range.line;
  os << "[" << kind << "," << d.range.column << "," << d.range.endLine - line << ","
     << d.range.endColumn << "," << d.trueCount << "," << d.falseCount << "," << role << ",[";
  for (std::size_t i = 0; i < d.conditions.size(); ++i) {
    const ConditionCov& c = d.conditions[i];
    os << (i ? ",[" : "[");
    if (c.range.line == line && c.range.endLine == line)
      os << c.range.column << "," << c.range.endColumn;
    else
      os << c.range.line << "," << c.range.column << "," << c.range.endLine << ","
         << c.range.endColumn;
    os << "," << c.trueCount << "," << c.falseCount << "," << (c.pair ? c.pairFirst : -1) << ","
       << (c.pair ? c.pairSecond : -1) << "]";
  }
  os << "],[";
  for (std::size_t i = 0; i < d.vectors.size(); ++i) {
    std::string codes = vectorColumns(d.vectors[i].codes, d.width());
    codes.erase(std::remove(codes.begin(), codes.end(), ' '), codes.end());
    os << (i ? ",[\"" : "[\"") << codes << (d.vectors[i].outcome ? 1 : 0) << "\","
       << d.vectors[i].count;
    if (withTests && i < d.vectorTests.size()) os << "," << idList(d.vectorTests[i]);
    os << "]";
  }
  os << "]]";
}

// `tests`: the run's tests when there are several to tell apart; each
// code line then carries in T the tests that ran it, shown on a click.
std::string filePage(const FileCov& f, const std::string& shown,
                     const std::vector<TestRecord>* tests) {
  std::ostringstream os;
  os << "<p><a href=\"index.html\">&larr; index</a></p><h1>" << xmlText(shown) << "</h1>\n<table>"
     << kHeadRow << rowHtml(xmlText(shown), f.totals) << "</table>\n"
     << "<p class=\"note\">Line, count, source; red: never run; yellow: a decision on the line "
        "misses an outcome or an independence pair. Click a line with decisions for their "
        "conditions and vectors (T true, F false, - not evaluated: short-circuited).</p>\n";
  if (!f.withoutProbes.empty())
    os << "<p class=\"bad\">Built without probes: " << xmlText(f.withoutProbes)
       << ". Nothing of this file is counted.</p>\n";
  if (f.staleSource)
    os << "<p class=\"bad\">Stale listing: this file changed since it was built; the counts "
          "are those of the text it had then.</p>\n";
  const SourceListing src = readListing(f);
  if (!src.readable())
    os << "<p class=\"note\">Source not readable when the report was made.</p>\n";
  std::map<int, std::vector<const DecisionCov*>> decs;
  for (const auto& d : f.decisions) decs[d.range.line].push_back(&d);

  // The decisions' data; the first stop of the walk and how many there are
  // (the script finds them in the page), for the page without its script.
  std::ostringstream data;
  std::map<std::string, int> kinds;
  int first = 0, nstops = 0, previous = 0;
  // Each line one <p> (its end tag implied by the next): an anchor, the
  // count as data-c (none: not code), class d when the line holds
  // decisions, p when one of them is not fully covered.
  std::ostringstream body;
  body << "<div id=\"src\">\n";
  for (int l : src.lines) {
    const auto it = f.lines.find(l);
    const auto dit = decs.find(l);
    bool partial = false;
    if (dit != decs.end())
      for (const DecisionCov* d : dit->second) partial = partial || !d->fullyCovered();
    const bool never = it != f.lines.end() && it->second == 0;
    if (never || partial) {
      ++nstops;
      if (!first) first = l;
    }
    body << "<p id=L" << l;
    if (dit != decs.end()) body << (partial && !never ? " class=p" : " class=d");
    if (it != f.lines.end()) body << " data-c=" << it->second;
    // Line numbers are a counter; a listing that skips lines sets it.
    if (l != previous + 1) body << " style=\"counter-set:l " << l - 1 << "\"";
    previous = l;
    body << ">" << xmlText(src.line(l)) << "\n";
    if (dit == decs.end()) continue;
    data << (data.tellp() > 0 ? ",\n" : "") << l << ":[";
    for (std::size_t i = 0; i < dit->second.size(); ++i) {
      if (i) data << ",";
      decisionData(data, *dit->second[i], &kinds, tests != nullptr);
    }
    data << "]";
  }
  body << "</div>\n";
  std::vector<std::string> names(kinds.size());
  for (const auto& [name, i] : kinds) names[static_cast<std::size_t>(i)] = name;
  os << "<div id=\"nav\"><a id=\"pv\" href=\"#\">&uarr; previous</a> <a id=\"nx\" href=\"#"
     << (first ? "L" + std::to_string(first) : std::string()) << "\">&darr; next uncovered</a> "
     << "<span id=\"at\">" << nstops
     << " to look at</span> <span class=\"note\">keys: n / j next, p / k previous</span></div>\n"
     << body.str() << "<script>var N=[";
  for (std::size_t i = 0; i < names.size(); ++i) os << (i ? "," : "") << jsString(names[i]);
  os << "],D={" << data.str() << "},T=";
  if (tests) {
    os << "{";
    bool firstLine = true;
    for (const auto& [l, t] : f.lineTests) {
      os << (firstLine ? "" : ",") << l << ":" << idList(t);
      firstLine = false;
    }
    os << "},TN=[";
    for (std::size_t i = 0; i < tests->size(); ++i)
      os << (i ? ",[" : "[") << jsString((*tests)[i].name) << ","
         << ((*tests)[i].failedCases ? 1 : 0) << "]";
    os << "];</script>\n";
  } else {
    os << "null,TN=[];</script>\n";
  }
  os << kFileScript << "\n";
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

// The run problems, above the figures they make untrustworthy; the same
// list as the text report's.
std::string problemsHtml(const RunProblems& problems) {
  if (problems.empty()) return {};
  std::ostringstream os;
  os << "<div class=\"problems\"><h2>Run problems: " << problems.size() << "</h2>\n";
  for (const auto& info : problemKinds()) {
    bool first = true;
    for (const auto& p : problems) {
      if (p.kind != info.kind) continue;
      if (first) os << "<h3>" << xmlText(info.heading) << "</h3>\n<ul>\n";
      first = false;
      os << "<li>" << xmlText(p.subject) << ": " << xmlText(p.detail) << "</li>\n";
    }
    if (!first) os << "</ul>\n";
  }
  os << "</div>\n";
  return os.str();
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
  index << "<h1>Coverage report</h1>\n"
        << problemsHtml(m.problems) << "<p class=\"note\">Files under "
        << xmlText(root.empty() ? "/" : root) << ". MC/DC: " << xmlText(kMcdcForm)
        << ". Single-condition decisions counted: " << m.totals.singleConditionDecisions
        << "; too wide: " << m.totals.tooWideDecisions
        << "; never reached: " << m.totals.unreachedDecisions << ".</p>\n";
  if (changes) index << changesHtml(*changes, pages, root) << "<h2>All files</h2>\n";
  // One group per folder, headed by the folder's own figures.
  std::map<std::string, std::vector<std::size_t>> folders;
  for (std::size_t i = 0; i < m.files.size(); ++i) {
    const std::string shown = displayPath(m.files[i].path, root);
    const auto slash = shown.rfind('/');
    folders[slash == std::string::npos ? "" : shown.substr(0, slash + 1)].push_back(i);
  }
  index << "<table id=\"files\"><thead>" << kHeadRow << "</thead>\n";
  for (const auto& [folder, members] : folders) {
    Totals t;
    for (std::size_t i : members) t.add(m.files[i].totals);
    index << "<tbody>" << rowHtml(xmlText(folder.empty() ? "./" : folder), t, "f");
    for (std::size_t i : members) {
      const FileCov& f = m.files[i];
      const std::string shown = displayPath(f.path, root).substr(folder.size());
      const std::string& name = pages[f.path];
      std::string mark;
      if (!f.withoutProbes.empty()) mark += " <span class=\"bad\">(built without probes)</span>";
      if (f.staleSource) mark += " <span class=\"bad\">(stale listing)</span>";
      index << rowHtml(
          "&nbsp;&nbsp;<a href=\"" + xmlAttribute(name) + "\">" + xmlText(shown) + "</a>" + mark,
          f.totals);
      if (!writeFile(
              dir + "/" + name,
              filePage(f, displayPath(f.path, root), m.tests.size() > 1 ? &m.tests : nullptr),
              error))
        return false;
    }
    index << "</tbody>\n";
  }
  index << "<tfoot>" << rowHtml("<b>Total</b>", m.totals) << "</tfoot></table>\n"
        << kIndexScript << "\n";
  if (!m.unmappedUnits.empty()) {
    index << "<p>Units that sent messages but have no map:";
    for (uint16_t u : m.unmappedUnits) index << " " << u;
    index << "</p>\n";
  }
  return writeFile(dir + "/index.html", page("Coverage report", index.str()), error);
}

}  // namespace qelc
