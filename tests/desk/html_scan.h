// A strict reader of the HTML the desk writes, for tests: it accepts only
// what the pages are meant to hold (known elements, quoted attributes,
// same-site links, balanced nesting, escaped text) and names the first thing
// that is not.
#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace zandrel::desk::test {

struct ScannedTag {
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // values with references decoded
};

struct HtmlScan {
  std::string problem;  // empty when the text passed every check
  std::vector<ScannedTag> tags;
  std::string text;  // all text between tags, references decoded

  bool ok() const { return problem.empty(); }
  int Count(std::string_view tag) const;
  // The value of attribute name of every tag with that attribute.
  std::vector<std::string> Values(std::string_view tag, std::string_view attribute) const;
};

// fragment: an SVG or HTML piece rather than a whole page (no doctype).
HtmlScan ScanHtml(std::string_view html);

}  // namespace zandrel::desk::test
