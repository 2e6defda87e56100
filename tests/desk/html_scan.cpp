#include "tests/desk/html_scan.h"

#include <algorithm>
#include <set>

namespace zandrel::desk::test {
namespace {

const std::set<std::string, std::less<>> kElements = {
    "html", "head", "meta", "title", "link", "script", "body", "header", "nav", "main", "section", "h1", "h2",
    "p", "a", "b", "span", "div", "form", "input", "label", "fieldset", "legend", "button", "table", "thead",
    "tbody", "tr", "th", "td", "dl", "dt", "dd", "ul", "li", "details", "summary", "time", "svg", "g", "rect",
    "line", "path", "circle", "text"};
const std::set<std::string, std::less<>> kVoid = {"meta", "link", "input"};
const std::set<std::string, std::less<>> kUrlAttributes = {"href", "src", "action"};

bool NameChar(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

// Decodes the references the desk writes; false for any other '&'.
bool Decode(std::string_view in, std::string& out) {
  static const std::pair<std::string_view, char> kRefs[] = {
      {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (in[i] != '&') {
      out += in[i];
      continue;
    }
    bool known = false;
    for (const auto& [ref, c] : kRefs)
      if (in.substr(i, ref.size()) == ref) {
        out += c;
        i += ref.size() - 1;
        known = true;
        break;
      }
    if (!known) return false;
  }
  return true;
}

bool HasBidiControl(std::string_view s) {
  for (std::size_t i = 0; i + 2 < s.size(); ++i) {
    auto b0 = static_cast<unsigned char>(s[i]), b1 = static_cast<unsigned char>(s[i + 1]),
         b2 = static_cast<unsigned char>(s[i + 2]);
    if (b0 == 0xE2 && b1 == 0x80 && b2 >= 0xAA && b2 <= 0xAE) return true;  // U+202A..U+202E
    if (b0 == 0xE2 && b1 == 0x81 && b2 >= 0xA6 && b2 <= 0xA9) return true;  // U+2066..U+2069
  }
  return false;
}

}  // namespace

int HtmlScan::Count(std::string_view tag) const {
  return static_cast<int>(std::count_if(tags.begin(), tags.end(), [&](const ScannedTag& t) { return t.name == tag; }));
}

std::vector<std::string> HtmlScan::Values(std::string_view tag, std::string_view attribute) const {
  std::vector<std::string> out;
  for (const ScannedTag& t : tags)
    if (t.name == tag)
      for (const auto& [name, value] : t.attributes)
        if (name == attribute) out.push_back(value);
  return out;
}

HtmlScan ScanHtml(std::string_view html) {
  HtmlScan scan;
  auto fail = [&](std::size_t at, const std::string& why) {
    scan.problem = why + " at byte " + std::to_string(at) + ": " + std::string(html.substr(at, 60));
    return scan;
  };
  if (HasBidiControl(html)) return fail(0, "a bidirectional control");
  for (char c : html)
    if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') return fail(0, "a control character");
  std::vector<std::string> open;
  std::size_t i = 0;
  while (i < html.size()) {
    std::size_t lt = html.find('<', i);
    std::string_view text = html.substr(i, lt == std::string_view::npos ? std::string_view::npos : lt - i);
    if (text.find('>') != std::string_view::npos) return fail(i, "a bare '>' in text");
    if (!Decode(text, scan.text)) return fail(i, "an unknown reference in text");
    if (lt == std::string_view::npos) break;
    i = lt + 1;
    if (html.substr(i, 9) == "!DOCTYPE ") {
      std::size_t gt = html.find('>', i);
      if (gt == std::string_view::npos) return fail(lt, "an unclosed doctype");
      i = gt + 1;
      continue;
    }
    bool closing = i < html.size() && html[i] == '/';
    if (closing) ++i;
    std::size_t nameStart = i;
    while (i < html.size() && NameChar(html[i])) ++i;
    std::string name(html.substr(nameStart, i - nameStart));
    if (!kElements.count(name)) return fail(lt, "an unexpected element '" + name + "'");
    if (closing) {
      if (i >= html.size() || html[i] != '>') return fail(lt, "a malformed end tag");
      ++i;
      if (open.empty() || open.back() != name) return fail(lt, "an end tag that closes nothing open");
      open.pop_back();
      continue;
    }
    ScannedTag tag{name, {}};
    bool selfClosed = false;
    for (;;) {
      if (i >= html.size()) return fail(lt, "an unclosed tag");
      if (html[i] == '>') {
        ++i;
        break;
      }
      if (html.substr(i, 2) == "/>") {
        selfClosed = true;
        i += 2;
        break;
      }
      if (html[i] != ' ') return fail(i, "no space before an attribute");
      ++i;
      std::size_t attrStart = i;
      while (i < html.size() && (NameChar(html[i]) || (html[i] >= 'A' && html[i] <= 'Z'))) ++i;  // viewBox
      std::string attr(html.substr(attrStart, i - attrStart));
      if (attr.empty()) return fail(i, "an empty attribute name");
      if (attr.rfind("on", 0) == 0 || attr == "style" || attr == "srcdoc" || attr == "formaction")
        return fail(attrStart, "a forbidden attribute '" + attr + "'");
      std::string value;
      if (i < html.size() && html[i] == '=') {
        if (i + 1 >= html.size() || html[i + 1] != '"') return fail(i, "an unquoted attribute value");
        std::size_t close = html.find('"', i + 2);
        if (close == std::string_view::npos) return fail(i, "an unclosed attribute value");
        std::string_view raw = html.substr(i + 2, close - i - 2);
        if (raw.find_first_of("<>") != std::string_view::npos) return fail(i, "'<' or '>' in an attribute value");
        if (!Decode(raw, value)) return fail(i, "an unknown reference in an attribute value");
        i = close + 1;
      }
      if (kUrlAttributes.count(attr)) {
        bool sameSite = (value.size() >= 1 && value[0] == '/' && (value.size() == 1 || value[1] != '/')) ||
                        (value.size() >= 1 && value[0] == '#');
        if (!sameSite) return fail(attrStart, "a link that leaves the site: '" + value + "'");
        if (value.find_first_of(" \"'<>\\") != std::string::npos) return fail(attrStart, "a link not encoded");
      }
      tag.attributes.emplace_back(std::move(attr), std::move(value));
    }
    if (name == "script") {
      bool ours = tag.attributes.size() >= 1 && tag.attributes[0].first == "src" &&
                  tag.attributes[0].second.rfind("/static/", 0) == 0;
      if (!ours || html.substr(i, 9) != "</script>") return fail(lt, "a script that is not a file of the site");
    }
    if (!selfClosed && !kVoid.count(name)) open.push_back(name);
    scan.tags.push_back(std::move(tag));
  }
  if (!open.empty()) return fail(html.size(), "'" + open.back() + "' left open");
  return scan;
}

}  // namespace zandrel::desk::test
