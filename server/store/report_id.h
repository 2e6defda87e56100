// Report ids: 40 bits written as eight characters of Crockford's base 32 in
// two groups, "7K3M-QX9P". An id is its report's sequence number, shuffled
// by a fixed permutation of the 40-bit numbers: unique as the sequence is,
// without the look of a counter that invites guessing the neighbours. Short enough to read over the phone;
// the alphabet has no I, L, O or U, and reading forgives case, a missing
// hyphen and the look-alikes (I and L read as 1, O as 0).
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zandrel::store {

inline constexpr uint64_t kReportIdBits = 40;

std::string ReportIdText(uint64_t value);  // the low 40 bits
std::optional<uint64_t> ParseReportId(std::string_view text);
// The id of the report with that sequence number (the low 40 bits), and back.
uint64_t ReportIdForSequence(uint64_t sequence);
uint64_t SequenceForReportId(uint64_t id);

}  // namespace zandrel::store
