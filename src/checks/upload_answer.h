// What the report server's answer to an upload tells the user: the id it
// gave the stored report, and when to send again after a refusal.
#pragma once
#include <cstdint>
#include <string>

namespace zandrel {

// True for a report id as the report server writes it: two groups of four
// characters of Crockford's base 32 (digits and upper-case letters without
// I, L, O and U) joined by one hyphen. Anything else from the network is not
// shown.
bool IsReportIdText(const std::string& text);

// Seconds to wait as a "Retry-After" value says: delta-seconds, or an HTTP
// date (IMF-fixdate) counted from the answer's "Date" when it has a readable
// one, else from nowUnix. Never negative; -1 when the value cannot be read.
int64_t RetryAfterSeconds(const std::string& retryAfter, const std::string& date, int64_t nowUnix);

// The progress line of an upload that was not accepted: status 0 when no
// answer came; with a wait in seconds (> 0) it says when to send again.
std::string UploadFailedLine(int32_t status, int64_t retrySeconds);

}  // namespace zandrel
