// Which of an amplifier's two outlets its end destroys: liblsl is replaced by a table of
// functions that hands out outlets and says which of them have consumers.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "cli/lsl_outlet.h"

namespace Mivo::Cli {
namespace {

// Outlet handles are the addresses of these slots: the samples outlet is created first.
int g_slots[2];
int g_created = 0;
std::set<int> g_withConsumers;
std::vector<int> g_destroyed;

int Slot(LslOutlet outlet) { return static_cast<int>(reinterpret_cast<int*>(outlet) - g_slots); }

LslFunctions FakeLsl() {
    static int info, xml;
    LslFunctions api{};
    api.last_error = [] { return "fake"; };
    api.create_streaminfo = [](const char*, const char*, int32_t, double, int32_t, const char*) {
        return reinterpret_cast<LslStreamInfo>(&info);
    };
    api.destroy_streaminfo = [](LslStreamInfo) {};
    api.get_desc = [](LslStreamInfo) { return reinterpret_cast<LslXml>(&xml); };
    api.append_child = [](LslXml e, const char*) { return e; };
    api.append_child_value = [](LslXml e, const char*, const char*) { return e; };
    api.create_outlet = [](LslStreamInfo, int32_t, int32_t) {
        return reinterpret_cast<LslOutlet>(&g_slots[g_created++]);
    };
    api.get_info = [](LslOutlet) { return LslStreamInfo{}; };
    api.have_consumers = [](LslOutlet o) { return static_cast<int32_t>(g_withConsumers.count(Slot(o))); };
    api.destroy_outlet = [](LslOutlet o) { g_destroyed.push_back(Slot(o)); };
    return api;
}

TEST(LslOutletEnd, OutletsWithConsumersAreKeptUntilTheProcessEnds) {
    // In this order: the process learns of the first kept outlet in the second case.
    struct Case {
        std::set<int> withConsumers;
        std::vector<int> destroyed;  // 0 samples, 1 markers
    };
    const Case cases[] = {{{}, {0, 1}}, {{0}, {1}}, {{1}, {0}}, {{0, 1}, {}}};
    const LslFunctions api = FakeLsl();
    LslStreamDescription description;
    description.name = description.sourceId = "MV-2401.00.01";
    description.rate = 250;
    description.channels = {{"ch1", "", "EEG"}};
    bool kept = false;
    for (const auto& c : cases) {
        g_created = 0;
        g_withConsumers = c.withConsumers;
        g_destroyed.clear();
        { LslOutlets outlets(api, description); }
        std::sort(g_destroyed.begin(), g_destroyed.end());
        EXPECT_EQ(g_destroyed, c.destroyed) << c.withConsumers.size() << " outlet(s) with consumers";
        kept = kept || !c.withConsumers.empty();
        EXPECT_EQ(LslOutletsKept(), kept);
    }
}

}  // namespace
}  // namespace Mivo::Cli
