// Pending places: the oldest waiting connection makes room for the newest;
// one address never gets more than its cap; a connection past its hello is
// never evicted.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "cisrv/Admission.h"

namespace cisrv {
namespace {

struct Admitted {
    std::unique_ptr<Admission::Place> place;
    const Admission::Place* evicted = nullptr;
    std::string why;
};

Admitted admit(Admission& admission, const std::string& address) {
    Admitted out;
    out.place = admission.admit(address, out.why, out.evicted);
    return out;
}

TEST(AdmissionTest, AFullTableEvictsTheOldestWaitingConnectionForTheNewest) {
    Admission admission({4, 3, 2});
    std::vector<Admitted> places;
    for (const char* address : {"10.0.0.1", "10.0.0.2", "10.0.0.3"}) {
        places.push_back(admit(admission, address));
        ASSERT_TRUE(places.back().place);
        EXPECT_EQ(places.back().evicted, nullptr);
    }
    places[0].place->handOver();  // said its hello: no longer evictable

    Admitted newest = admit(admission, "10.0.0.4");
    ASSERT_TRUE(newest.place);
    EXPECT_EQ(newest.evicted, places[1].place.get());
    EXPECT_EQ(admission.pending(), 3u);
    places[1].place.reset();  // the server closes the evicted connection
    EXPECT_EQ(admission.pending(), 3u);

    Admitted next = admit(admission, "10.0.0.5");
    EXPECT_EQ(next.evicted, places[2].place.get());
    places[2].place.reset();
    newest.place->handOver();
    next.place->handOver();
    // Everyone has said hello: the newest is turned away rather than a host.
    const Admitted refused = admit(admission, "10.0.0.6");
    EXPECT_FALSE(refused.place);
    EXPECT_NE(refused.why.find("--max-pending"), std::string::npos) << refused.why;

    EXPECT_TRUE(places[0].place->takeSessionSlot());
    EXPECT_EQ(admission.pending(), 2u);
    EXPECT_TRUE(admit(admission, "10.0.0.6").place);
}

TEST(AdmissionTest, OneAddressIsHeldToItsCapWithoutEvictingAnyone) {
    Admission admission({4, 10, 2});
    Admitted first = admit(admission, "10.0.0.1");
    Admitted second = admit(admission, "10.0.0.1");
    const Admitted third = admit(admission, "10.0.0.1");
    EXPECT_FALSE(third.place);
    EXPECT_EQ(third.evicted, nullptr);
    EXPECT_NE(third.why.find("--max-pending-per-peer"), std::string::npos) << third.why;
    EXPECT_TRUE(admit(admission, "10.0.0.2").place);
    first.place.reset();
    EXPECT_TRUE(admit(admission, "10.0.0.1").place);
}

}  // namespace
}  // namespace cisrv
