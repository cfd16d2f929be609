// Which ids one pass of the UDP idle sweep removes: idle strictly longer
// than the limit, a clock stepped back counting as no idleness.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "udp_proxy/forwarder.h"

namespace vostrelin::udp_proxy {
namespace {

TEST(UdpSweep, RemovesOnlyIdsIdleLongerThanTheLimit) {
  struct Case {
    const char* id;
    uint64_t last;
    bool removed;
  } cases[] = {
      {"exactly the limit", 40000, false},
      {"a millisecond more", 39999, true},
      {"recent", 99000, false},
      {"later than now", 100500, false},
      {"never refreshed", 0, true},
  };
  frames::ConnectionTable<LocalUdpEntry>::Map map;
  for (const Case& c : cases) {
    map[c.id].last_activity = std::make_shared<std::atomic<uint64_t>>(c.last);
  }
  std::vector<std::string> ids = idle_ids(map, 100000, 60000);
  for (const Case& c : cases) {
    bool found = std::find(ids.begin(), ids.end(), c.id) != ids.end();
    EXPECT_EQ(found, c.removed) << c.id;
  }
  EXPECT_TRUE(idle_ids(map, 0, 60000).empty()) << "a clock before the epoch reads 0";
}

}  // namespace
}  // namespace vostrelin::udp_proxy
