// Report ids: 40 random bits written as eight characters of Crockford's
// base 32 in two groups, "7K3M-QX9P". Short enough to read over the phone;
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
// A fresh random id (from the system's random source).
uint64_t NewReportIdValue();

}  // namespace zandrel::store
