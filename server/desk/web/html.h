// Pieces of HTML made from hostile text: escaping for text and quoted
// attribute values, cutting long values for lists, links whose query is built
// only by percent-encoding, and a small writer that keeps the page's parts in
// order.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "server/desk/web/pages.h"
#include "server/desk/web/query_string.h"

namespace zandrel::desk::web {

// The text fit for an HTML text node and for a quoted attribute value:
// & < > " ' as character references; control characters (line breaks and
// tabs kept where keepLines is set, else spaces), bidirectional embeddings,
// overrides, isolates and marks, and bytes that are not UTF-8 as U+FFFD.
std::string Html(std::string_view text, bool keepLines = false);
// Html of the text cut to at most columns display columns (East Asian
// characters take two), ending in "…" when cut; line breaks become spaces.
std::string HtmlCut(std::string_view text, int columns);

// "path?query" with the pairs percent-encoded (empty values left out), made
// safe for an attribute value. path is the site's own (never report data).
std::string Link(std::string_view path, const Params& params);

// The text of one of the two languages.
inline const char* Tr(Lang lang, const char* zh, const char* en) { return lang == Lang::kEn ? en : zh; }

// "2024-05-01 08:00:00" and the zone's mark ("UTC", "+08:00") of a time in
// ms since 1970, in the named IANA zone (UTC when empty or unknown).
struct ShownTime {
  std::string text;
  std::string zone;
};
ShownTime ShowTime(int64_t ms, std::string_view zoneName);
// <time datetime="RFC3339">shown text</time>; the script turns it into the
// reader's zone unless the page fixes one.
std::string TimeElement(int64_t ms, std::string_view zoneName);

// "1.5 GB", "312 MB", "900 B".
std::string HumanBytes(uint64_t bytes);
// A number with a thousands separator: "1,234,567".
std::string Grouped(uint64_t n);

}  // namespace zandrel::desk::web
