// URL query strings and form bodies (application/x-www-form-urlencoded):
// reading them into ordered key/value pairs and writing them back.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zandrel::desk::web {

using Params = std::vector<std::pair<std::string, std::string>>;

// "%41" and "+" (a space) decoded; nullopt for a '%' not followed by two hex
// digits. The result may hold any byte, NUL included: callers check it.
std::optional<std::string> PercentDecode(std::string_view text);
// Everything but unreserved characters (letters, digits, "-._~") as %XX.
std::string PercentEncode(std::string_view text);

// "a=1&b=&c" -> (a,1), (b,""), (c,""); empty pieces are skipped. Nullopt
// when a name or value cannot be decoded, or when there are more than
// maxPairs pairs.
std::optional<Params> ParseQueryString(std::string_view text, std::size_t maxPairs = 64);
// The pairs with a non-empty value, encoded and joined with '&'.
std::string QueryStringOf(const Params& params);
// The value of the first pair named name; null when absent.
const std::string* FindParam(const Params& params, std::string_view name);

}  // namespace zandrel::desk::web
