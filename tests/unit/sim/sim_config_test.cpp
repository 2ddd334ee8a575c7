// MIVOBLE_SIM: defaults, every key, bad items logged and ignored, the backend entry point
// and the stack behind the library.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "log/log.h"
#include "platform/backend.h"
#include "sim_test_client.h"

namespace {

using namespace SimTest;
using namespace Mivo::BLE;
using namespace Mivo::BLE::Sim;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(SimConfig, DefaultsAndEmpty) {
    auto sim = MakeSimStack(DefaultSimConfig());
    auto amps = sim->Amplifiers();
    ASSERT_EQ(amps.size(), 2u);
    auto legacy = sim->Find("MV-2401.00.01");
    auto nus = sim->Find("MV-2401.00.02");
    ASSERT_TRUE(legacy && nus);
    EXPECT_EQ(legacy->Config().gen, Generation::Legacy);
    EXPECT_EQ(legacy->Layout().channels, 8);
    EXPECT_TRUE(legacy->Layout().counter);
    EXPECT_EQ(legacy->Layout().rate, 250);
    EXPECT_EQ(nus->Config().gen, Generation::Nus);
    EXPECT_EQ(nus->Layout().channels, 1);
    EXPECT_EQ(nus->Layout().rate, 256);
    EXPECT_EQ(nus->Layout().bytesPerSample, 3);
    EXPECT_FALSE(nus->Layout().littleEndian);
    EXPECT_NE(legacy->Address(), nus->Address());

    EXPECT_TRUE(MakeSimStack("")->Amplifiers().empty());
    EXPECT_TRUE(MakeSimStack(" ; ;")->Amplifiers().empty());
}

TEST(SimConfig, EveryKey) {
    auto sim = MakeSimStack(
        "MV-K,gen=both,channels=61,counter=0,frames=64,rate=1000,addr=aa:bb:cc:dd:ee:0f,connectable=0,adv=250,battery="
        "5,"
        "model=Mx,fw=9.9,hw=H1,maker=Mk,drop_every=700,refuse_connects=3,hang=ReadValueAsync:2A19,drop_notify_every=4,"
        "seed=99,"
        "interval=7.25,smp_split=2,filters=0,battery_every=0,mtu=23,connect_fail_ms=1,reset_ms=2,boot_ms=3,erase_ms=4,"
        "slot_size=4096,"
        "smp_rc0=1,advertise=0,delay=WriteValueAsync:6E400002-B5A3-F393-E0A9-E50E24DCCA9E:15,drop_once=40,corrupt=2,"
        "shorten=3,"
        "nus=late:25,smp_params=0,smp_buf_count=2,smp_buf_size=512,flash_kbps=40,link_kbps=700");
    auto amp = sim->Find("MV-K");
    ASSERT_TRUE(amp);
    auto c = amp->Config();
    EXPECT_EQ(c.gen, Generation::Both);
    EXPECT_EQ(c.channels, 61);
    EXPECT_FALSE(c.counter);
    EXPECT_EQ(c.frames, 64);
    EXPECT_EQ(c.rate, 1000);
    EXPECT_EQ(amp->Address(), 0xAABBCCDDEE0Full);
    EXPECT_EQ(FormatAddress(amp->Address()), "AA:BB:CC:DD:EE:0F");
    EXPECT_FALSE(c.connectable);
    EXPECT_EQ(c.adv, 250ms);
    EXPECT_EQ(c.battery, 5);
    EXPECT_EQ(c.model, "Mx");
    EXPECT_EQ(c.fw, "9.9");
    EXPECT_EQ(c.hw, "H1");
    EXPECT_EQ(c.maker, "Mk");
    EXPECT_EQ(c.dropEvery, 700ms);
    EXPECT_EQ(c.refuseConnects, 3);
    EXPECT_EQ(c.hang, "ReadValueAsync:2A19");
    EXPECT_EQ(c.dropNotifyEvery, 4);
    EXPECT_EQ(c.seed, 99u);
    EXPECT_EQ(c.interval, 7250us);
    EXPECT_EQ(c.smpSplit, 2u);
    EXPECT_EQ(c.filters, 0u);
    EXPECT_EQ(c.batteryEvery, 0ms);
    EXPECT_EQ(c.mtu, 23u);
    EXPECT_EQ(c.connectFail, 1ms);
    EXPECT_EQ(c.resetDelay, 2ms);
    EXPECT_EQ(c.bootTime, 3ms);
    EXPECT_EQ(c.eraseTime, 4ms);
    EXPECT_EQ(c.slotSize, 4096u);
    EXPECT_TRUE(c.smpRcZero);
    EXPECT_FALSE(c.advertising);
    EXPECT_EQ(c.delay, "WriteValueAsync:6E400002-B5A3-F393-E0A9-E50E24DCCA9E:15");
    EXPECT_EQ(c.dropOnce, 40ms);
    EXPECT_EQ(c.corrupt, 2);
    EXPECT_EQ(c.shorten, 3);
    EXPECT_EQ(c.nus, "late:25");
    EXPECT_FALSE(c.smpParams);
    EXPECT_EQ(c.smpBufCount, 2u);
    EXPECT_EQ(c.smpBufSize, 512u);
    EXPECT_EQ(c.flashKbps, 40u);
    EXPECT_EQ(c.linkKbps, 700u);
}

TEST(SimConfig, BadItemsAreLoggedAndIgnored) {
    auto dir = std::filesystem::temp_directory_path() / ("sim-config-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::string logPath = (dir / "log.txt").string();
    ASSERT_TRUE(SetLogFilePath(logPath));
    auto sim = MakeSimStack(
        "Good1;BadGen,gen=modern;BadChannels,channels=62;ZeroChannels,channels=0;BadKey,colour=red;NoValue,rate;"
        "BadAddr,addr=12:34;BadFlag,counter=2;BadHang,hang=Nap;,gen=nus;adapter=maybe;Good2,channels=61;Good1;"
        "SameAddr,addr=" +
        FormatAddress(AddressFromName("Good2")) +
        ";BadRate,rate=70000;BadSeed,seed=-1;"
        "BadDelay,delay=ReadValueAsync;BadDelayMs,delay=ReadValueAsync:2A19:soon;BadNus,nus=sometimes;"
        "BadInterval,interval=7.5555;BadBufCount,smp_buf_count=0");
    std::vector<std::string> names;
    for (auto& a : sim->Amplifiers()) names.push_back(a->Name());
    EXPECT_EQ(names, (std::vector<std::string>{"Good1", "Good2"}));
    EXPECT_TRUE(sim->AdapterPresent());
    std::string log = ReadFile(logPath);
    for (const char* expected :
         {"BadGen,gen=modern' ignored: unknown generation 'modern'", "channels=62' ignored: value '62' of 'channels'",
          "ZeroChannels", "unknown key 'colour'", "'rate' is not key=value", "is not of the form AA:BB:CC:DD:EE:FF",
          "must be 0 or 1", "unknown operation 'Nap'", "the amplifier has no name", "adapter must be",
          "'Good1': name or address", "'SameAddr': name or address", "BadRate", "BadSeed", "is not Operation:ms",
          "does not end in milliseconds", "nus fault 'sometimes'", "'interval' is not a number of milliseconds",
          "BadBufCount"}) {
        EXPECT_NE(log.find(expected), std::string::npos) << expected;
    }
    EXPECT_NE(log.find("[ERROR]"), std::string::npos);
    std::filesystem::remove_all(dir);
}

TEST(SimConfig, AdapterAndRadioItemsAndReconfigure) {
    auto sim = MakeSimStack("adapter=none;radio=off;MV-1");
    EXPECT_FALSE(sim->AdapterPresent());
    EXPECT_FALSE(sim->RadioOn());
    EXPECT_TRUE(sim->Find("MV-1"));
    sim->Reconfigure("MV-2,gen=nus;MV-3");
    EXPECT_TRUE(sim->AdapterPresent());
    EXPECT_TRUE(sim->RadioOn());
    EXPECT_FALSE(sim->Find("MV-1"));
    EXPECT_TRUE(sim->Find("MV-2") && sim->Find("MV-3"));
    // Added from C++ with the same rules.
    AmplifierConfig bad;
    bad.name = "MV-2";
    EXPECT_EQ(sim->Add(bad), nullptr);
    AmplifierConfig good;
    good.name = "MV-4";
    good.gen = Generation::Neither;
    EXPECT_TRUE(sim->Add(good));
    uint64_t parsed = 0;
    EXPECT_TRUE(ParseAddress("01:23:45:67:89:ab", parsed));
    EXPECT_EQ(parsed, 0x0123456789ABull);
    EXPECT_FALSE(ParseAddress("01:23:45:67:89", parsed));
    EXPECT_FALSE(ParseAddress("01-23-45-67-89-AB", parsed));
}

TEST(SimConfig, BackendEntryPointAndActiveStack) {
    ::setenv("MIVOBLE_SIM", "MV-ENV,gen=nus;MV-ENV2", 1);
    auto stack = std::dynamic_pointer_cast<SimStack>(Platform::CreateSimStack());
    ::unsetenv("MIVOBLE_SIM");
    ASSERT_TRUE(stack);
    EXPECT_TRUE(stack->Find("MV-ENV"));
    EXPECT_TRUE(stack->Find("MV-ENV2"));
    auto defaults = std::dynamic_pointer_cast<SimStack>(Platform::CreateSimStack());
    ASSERT_TRUE(defaults);
    EXPECT_TRUE(defaults->Find("MV-2401.00.01") && defaults->Find("MV-2401.00.02"));

    Platform::SetStackForTesting(stack);
    EXPECT_EQ(ActiveSimStack(), stack);
    Platform::SetStackForTesting(nullptr);
}

}  // namespace
