#include "server/store/search_query.h"

#include <gtest/gtest.h>

namespace zandrel::store {
namespace {

QueryError ErrorOf(SearchParams params) {
  auto parsed = ParseSearchQuery(params);
  EXPECT_TRUE(std::holds_alternative<QueryError>(parsed)) << params.front().first << "=" << params.front().second;
  return std::holds_alternative<QueryError>(parsed) ? std::get<QueryError>(parsed) : QueryError{};
}

SearchQuery QueryOf(SearchParams params) {
  auto parsed = ParseSearchQuery(params);
  if (auto* e = std::get_if<QueryError>(&parsed)) ADD_FAILURE() << e->parameter << ": " << e->message;
  return std::holds_alternative<SearchQuery>(parsed) ? std::get<SearchQuery>(parsed) : SearchQuery{};
}

TEST(SearchQuery, BadValuesNameTheirParameter) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"from", "2024-13-01"}, {"from", "2024-02-30"}, {"from", "yesterday"}, {"to", "2024-05-01T25:00:00Z"},
      {"to", "2024-05-01T08:00:00"}, {"from", "2024-05-01T08:00:00+24:00"}, {"ip", "10.0.0.0/40"},
      {"ip", "10.0.0.256"}, {"ip", "10.0.0"}, {"ip", "10.0.0.1/"}, {"ip", "::1"}, {"mac", "02-5a-64-72-65"},
      {"mac", "02-5a-64-72-65-6c-00"}, {"mac", "zz-5a-64-72-65-6c"}, {"failed", "udp,disk"}, {"failed", ""},
      {"failed", "udp,"}, {"slower_than", "-5"}, {"slower_than", "fast"}, {"limit", "0"}, {"limit", "501"},
      {"cursor", "123"}, {"cursor", "c!"}, {"q", "!!! ..."}, {"q", std::string(10240, 'a')},
      {"module", std::string(10240, 'x')}, {"module", ""}, {"module", "a\nb"}, {"colour", "red"}};
  for (const auto& [key, value] : bad) {
    QueryError e = ErrorOf({{"limit", "20"}, {key, value}});
    EXPECT_EQ(e.parameter, key) << key << "=" << value.substr(0, 40);
    EXPECT_FALSE(e.message.empty());
  }
  EXPECT_EQ(ErrorOf({{"ip", "1.2.3.4"}, {"ip", "1.2.3.5"}}).parameter, "ip");
  EXPECT_EQ(ErrorOf({{"from", "2024-05-02"}, {"to", "2024-05-01"}}).parameter, "to");
}

TEST(SearchQuery, ReadsEveryParameter) {
  SearchQuery q = QueryOf({{"q", "WiFi 卡顿，黑屏"},
                           {"ip", "10.1.2.3/16"},
                           {"mac", "02:5A:64:72:65:6C"},
                           {"module", "C:/Windows/D3D9.dll"},
                           {"from", "2024-05-01"},
                           {"to", "2024-05-01"},
                           {"failed", "speed,udp"},
                           {"slower_than", "300"},
                           {"limit", "7"}});
  EXPECT_EQ(q.words, (std::vector<std::string>{"wifi", "卡顿", "黑屏"}));
  ASSERT_TRUE(q.ip);
  EXPECT_EQ(q.ip->first, 0x0A010000u);
  EXPECT_EQ(q.ip->last, 0x0A01FFFFu);
  EXPECT_EQ(q.mac, 0x025a6472656cULL);
  EXPECT_EQ(q.module, "c:\\windows\\d3d9.dll");
  EXPECT_EQ(q.from_ms, 1714521600000);
  EXPECT_EQ(q.to_ms, 1714521600000 + 86400000);  // a bare date is the whole day
  EXPECT_EQ(q.failed, unsigned{kCheckSpeed | kCheckUdp});
  EXPECT_EQ(q.slower_than, 300);
  EXPECT_EQ(q.limit, 7);
  EXPECT_EQ(QueryOf({}).limit, kDefaultSearchLimit);
}

TEST(SearchQuery, NotationsOfAddressesAndTimes) {
  for (const char* mac : {"02-5a-64-72-65-6c", "02:5A:64:72:65:6C", "025a6472656c", "025a.6472.656c"}) {
    EXPECT_EQ(ParseMac(mac), 0x025a6472656cULL) << mac;
  }
  EXPECT_EQ(ParseIpv4Block("0.0.0.0/0")->last, 0xFFFFFFFFu);
  EXPECT_EQ(ParseIpv4Block("192.168.1.77/24")->first, 0xC0A80100u);
  EXPECT_EQ(ParseIpv4Block("192.168.1.77")->first, ParseIpv4Block("192.168.1.77")->last);
  EXPECT_EQ(ParseTimeMs("2024-05-01T08:00:00Z", false), 1714550400000);
  EXPECT_EQ(ParseTimeMs("2024-05-01T16:00:00+08:00", false), 1714550400000);
  EXPECT_EQ(ParseTimeMs("2024-05-01t08:00:00.250z", false), 1714550400250);
  EXPECT_EQ(ParseTimeMs("2024-05-01T08:00:00Z", true), 1714550400001);  // `to` includes its millisecond
  EXPECT_EQ(ParseTimeMs("2024-02-29", false), 1709164800000);
  for (int64_t position : {int64_t{0}, int64_t{1}, int64_t{109951162777599}, INT64_MAX}) {
    EXPECT_EQ(ParseCursor(CursorText(position)), position);
  }
}

TEST(SearchQuery, TokensKeepChineseRunsSearchableByOneOrTwoCharacters) {
  EXPECT_EQ(ProblemTokens("看直播卡, WiFi!"), "看直 直播 播卡 看 直 播 卡 wifi");
  EXPECT_EQ(MatchExpression({"卡"}), "\"卡\"");
  EXPECT_EQ(MatchExpression({"黑屏问题", "wifi"}), "\"黑屏 屏问 问题\" AND \"wifi\"");
  // Damaged UTF-8 is skipped, not read past its end.
  EXPECT_EQ(ProblemTokens(std::string("ab\xE5\x8D", 4)), "ab");
}

}  // namespace
}  // namespace zandrel::store
