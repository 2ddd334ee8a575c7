#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

#include "api/handle_registry.h"
#include "core/api_exception.h"
#include "fake_smp_device.h"
#include "mivoble/mivoble.h"
#include "smp/management_commands.h"
#include "smp/management_lock.h"

namespace Mivo::BLE {
namespace {

using namespace Testing;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

Bytes ImageMap(std::initializer_list<std::pair<std::string, Bytes>> fields) {
    Bytes out = {static_cast<uint8_t>(0xA0 | fields.size())};
    for (const auto& [key, value] : fields) out = Cat({out, Text(key), value});
    return out;
}

Bytes ByteString(size_t n, uint8_t fill) { return Cat({{0x58, static_cast<uint8_t>(n)}, Bytes(n, fill)}); }

std::vector<std::string> g_lines;
void Collect(const char* line) { g_lines.emplace_back(line); }

// Calls f and returns the ApiException it throws (code 0 when it does not throw).
template <typename F>
std::pair<int32_t, std::string> Failure(F f) {
    try {
        f();
    } catch (const ApiException& e) {
        return {e.Code(), e.what()};
    }
    return {0, ""};
}

TEST(ListImages, ParsesRecordsLikeARealServerSendsThem) {
    const Bytes first = ImageMap({{"slot", {0x00}},
                                  {"version", Text("1.2.3")},
                                  {"hash", ByteString(32, 0xAB)},
                                  {"bootable", {0xF5}},
                                  {"pending", {0xF4}},
                                  {"confirmed", {0xF5}},
                                  {"active", {0xF5}},
                                  {"permanent", {0xF4}}});
    const Bytes second = ImageMap({{"slot", {0x01}},
                                   {"version", Text(std::string(40, 'v'))},
                                   {"hash", ByteString(20, 0xCD)},
                                   {"pending", {0xF5}},
                                   {"active", {0x01}}});
    const Bytes response =
        Response(Cat({{0xA2}, Text("images"), {0x9F, 0x07}, first, second, {0xFF}, Text("splitStatus"), {0x00}}));

    MIVOBLE_IMAGE_STATE images[3];
    std::memset(images, 0x5A, sizeof images);
    ASSERT_EQ(ParseImageStateResponse(response.data(), response.size(), images, 3, Collect), 2u);
    EXPECT_EQ(images[0].slot, 0);
    EXPECT_EQ(images[0].flags, 5);
    EXPECT_STREQ(images[0].version, "1.2.3");
    EXPECT_EQ(Bytes(images[0].hash, images[0].hash + 32), Bytes(32, 0xAB));
    EXPECT_EQ(Bytes(images[0].reserved, images[0].reserved + 6), Bytes(6, 0));
    EXPECT_EQ(images[1].slot, 1);
    EXPECT_EQ(images[1].flags, MIVOBLE_IMAGE_FLAG_PENDING);
    EXPECT_EQ(std::string(images[1].version), std::string(31, 'v'));
    EXPECT_EQ(Bytes(images[1].hash, images[1].hash + 32), Bytes(32, 0));
    EXPECT_EQ(images[2].slot, 0x5A);  // beyond the count: untouched

    // Capacity 1: only the first image, no error.
    std::memset(images, 0x5A, sizeof images);
    EXPECT_EQ(ParseImageStateResponse(response.data(), response.size(), images, 1, Collect), 1u);
    EXPECT_STREQ(images[0].version, "1.2.3");
    EXPECT_EQ(images[1].slot, 0x5A);
}

TEST(ListImages, OddButReadableResponsesSucceed) {
    MIVOBLE_IMAGE_STATE images[2] = {};
    auto parse = [&](const Bytes& body) {
        const Bytes r = Response(body);
        return ParseImageStateResponse(r.data(), r.size(), images, 2, Collect);
    };
    EXPECT_EQ(parse(Cat({{0xA1}, Text("splitStatus"), {0x00}})), 0u);  // no "images": nothing listed
    g_lines.clear();
    EXPECT_EQ(parse(Cat({{0xA2}, Text("images"), {0x05}, Text("images"), {0x81}, ImageMap({{"slot", {0x03}}})})), 1u);
    EXPECT_THAT(g_lines, testing::Contains("[ListImages] ERROR: images value is not an array!\n"));
    EXPECT_EQ(images[0].slot, 3);
    EXPECT_EQ(parse(Cat({{0xA1}, Text("images"), {0x83, 0x07, 0x61, 'x'}, ImageMap({{"slot", {0x18, 0x09}}})})), 1u);
    EXPECT_EQ(images[0].slot, 9);                         // elements that are not maps are skipped
    EXPECT_EQ(parse(Cat({{0xA1}, Text("images")})), 0u);  // value missing
    // Image maps whose values lie about their kinds or lengths stop at the end of the data.
    EXPECT_EQ(parse(Cat({{0xA1}, Text("images"), {0x81}, ImageMap({{"version", {0x7A, 0xFF, 0, 0, 0}}})})), 1u);
    EXPECT_EQ(images[0].version[0], '\0');
}

TEST(ListImages, UnusableResponsesFailWithCountZero) {
    FakeSmpDevice device;
    MIVOBLE_IMAGE_STATE images[2];
    struct Case {
        Bytes response;
        const char* message;
    };
    const Case cases[] = {{{0x01, 0, 0, 0, 0, 1, 0, 0}, "Invalid image state response."},
                          {Response({0x81, 0xA0}), "Invalid CBOR: expected map."}};
    for (const auto& c : cases) {
        device.SetResponder([&](const Bytes&, uint32_t) { return c.response; });
        uint32_t count = 2;
        testing::internal::CaptureStderr();
        EXPECT_EQ(Failure([&] { ListImages(device, images, &count); }), std::pair(-1, std::string(c.message)));
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(count, 0u);
    }
    uint32_t count = 1;
    EXPECT_EQ(Failure([&] { ListImages(device, nullptr, &count); }),
              std::pair(4, std::string("Images array and count must not be null.")));
    EXPECT_EQ(Failure([&] { ListImages(device, images, nullptr); }).first, 4);
}

TEST(ListImages, RequestAndDiagnosticLines) {
    const Bytes response = Response(Cat({{0xA1}, Text("images"), {0x81}, ImageMap({{"slot", {0x01}}})}));
    FakeSmpDevice device([&](const Bytes&, uint32_t) { return response; });
    MIVOBLE_IMAGE_STATE image;
    uint32_t count = 1;
    testing::internal::CaptureStderr();
    ListImages(device, &image, &count);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(count, 1u);
    const Bytes frame = device.Frames().at(0);
    EXPECT_EQ(FrameOp(frame), 0);
    EXPECT_EQ(FrameGroup(frame), 1);
    EXPECT_EQ(FrameCommand(frame), 0);
    EXPECT_EQ(FrameBody(frame), Bytes{0xA0});
    EXPECT_THAT(device.Timeouts(), ElementsAre(5000u));
    EXPECT_EQ(err,
              "[ListImages] Response size: 24 bytes\n"
              "[ListImages] Data: 03 00 00 10 00 01 00 00 A1 66 69 6D 61 67 65 73 81 A1 64 73 6C 6F 74 01 \n"
              "[ListImages] CBOR len: 16, first byte: 0xA1 (major type: 5)\n"
              "[ListImages] Map: definite (count=1)\n"
              "[ListImages] Key: 'images'\n"
              "[ListImages] Images array: definite\n"
              "[ListImages]   Field: 'slot'\n"
              "[ListImages] Parsed image: slot=1, version=''\n");

    g_lines.clear();
    const Bytes big = Response(Cat({{0xBF}, Text("x"), ByteString(100, 0xEE), {0xFF}}));
    ParseImageStateResponse(big.data(), big.size(), &image, 1, Collect);
    EXPECT_EQ(g_lines.at(1).size(), std::strlen("[ListImages] Data: \n") + 64 * 3);
    EXPECT_EQ(g_lines.at(3), "[ListImages] Map: indefinite (count=18446744073709551615)\n");
}

TEST(Echo, MessageLimitsAndAnswerCutToTheBuffer) {
    FakeSmpDevice device([](const Bytes&, uint32_t) { return Response(Cat({{0xA1}, Text("r"), Text("0123456789")})); });
    char buffer[4];
    uint32_t size = sizeof buffer;
    const std::string longest(255, 'm');
    Echo(device, longest.c_str(), buffer, &size);
    EXPECT_STREQ(buffer, "012");
    EXPECT_EQ(size, 3u);
    const Bytes frame = device.Frames().at(0);
    EXPECT_EQ(FrameBody(frame), Cat({{0xA1}, Text("d"), {0x78, 0xFF}, Bytes(longest.begin(), longest.end())}));
    EXPECT_EQ(FrameGroup(frame), 0);
    EXPECT_EQ(FrameCommand(frame), 0);
    EXPECT_EQ(FrameOp(frame), 2);

    const std::string tooLong(256, 'm');
    EXPECT_EQ(Failure([&] { Echo(device, tooLong.c_str(), buffer, &size); }),
              std::pair(4, std::string("Message too long for echo.")));
    EXPECT_EQ(Failure([&] { Echo(device, nullptr, buffer, &size); }).second, "Message must not be null.");
    EXPECT_EQ(Failure([&] { Echo(device, "m", nullptr, &size); }).second, "Response buffer and size must not be null.");
    size = 0;
    EXPECT_EQ(Failure([&] { Echo(device, "m", buffer, &size); }).second, "Response buffer size must be non-zero.");
    EXPECT_EQ(device.Frames().size(), 1u);
}

TEST(Echo, UnusableAnswers) {
    struct Case {
        Bytes response;
        const char* message;
    };
    const Case cases[] = {
        {{3, 0, 0, 0, 0, 0, 0, 0}, "Invalid echo response format."},
        {Response(Text("r")), "Invalid echo response format."},
        {Response(Cat({{0xA2}, Text("rc"), {0}, Text("R"), Text("x")})), "Echo response missing 'r' field."}};
    for (const auto& c : cases) {
        FakeSmpDevice device([&](const Bytes&, uint32_t) { return c.response; });
        char buffer[8];
        uint32_t size = sizeof buffer;
        EXPECT_EQ(Failure([&] { Echo(device, "hi", buffer, &size); }), std::pair(-1, std::string(c.message)));
    }
    // A non-text "r" echoes as empty.
    FakeSmpDevice device([](const Bytes&, uint32_t) { return Response(Cat({{0xA1}, Text("r"), {0x05}})); });
    char buffer[8] = "xxxxxxx";
    uint32_t size = sizeof buffer;
    Echo(device, "hi", buffer, &size);
    EXPECT_EQ(size, 0u);
    EXPECT_STREQ(buffer, "");
}

TEST(ImageState, TestConfirmEraseRequestsAndResults) {
    const Bytes ok = Response({0xA0});
    const Bytes rc6 = Response(Cat({{0xA1}, Text("rc"), {0x06}}));
    const Bytes noBody = {3, 0, 0, 0, 0, 1, 0, 0};
    FakeSmpDevice device;
    const Bytes hash(32, 0x42);
    auto run = [&](const Bytes& response, auto command) {
        device.SetResponder([&](const Bytes&, uint32_t) { return response; });
        return Failure(command);
    };
    auto test = [&] { TestImage(device, hash.data()); };
    auto confirm = [&] { ConfirmImage(device); };
    auto erase = [&] { EraseImage(device); };
    EXPECT_EQ(run(ok, test).first, 0);
    EXPECT_EQ(run(ok, confirm).first, 0);
    EXPECT_EQ(run(ok, erase).first, 0);
    const auto frames = device.Frames();
    EXPECT_EQ(FrameBody(frames[0]), Cat({{0xA2}, Text("hash"), ByteString(32, 0x42), Text("confirm"), {0xF4}}));
    EXPECT_EQ(FrameBody(frames[1]), Cat({{0xA1}, Text("confirm"), {0xF5}}));
    EXPECT_EQ(FrameBody(frames[2]), Bytes{0xA0});
    EXPECT_THAT((std::vector<int>{FrameCommand(frames[0]), FrameCommand(frames[1]), FrameCommand(frames[2])}),
                ElementsAre(0, 0, 5));
    EXPECT_THAT(device.Timeouts(), ElementsAre(5000u, 5000u, 30000u));

    for (const Bytes& bad : {rc6, noBody}) {
        EXPECT_EQ(run(bad, test), std::pair(-1, std::string("Test image failed.")));
        EXPECT_EQ(run(bad, confirm), std::pair(-1, std::string("Confirm image failed.")));
        EXPECT_EQ(run(bad, erase), std::pair(-1, std::string("Erase image failed.")));
    }
    EXPECT_EQ(Failure([&] { TestImage(device, nullptr); }), std::pair(4, std::string("Image hash must not be null.")));
}

TEST(Reset, AnyAnswerInTimeIsSuccessUnlessItIsAnError) {
    const std::pair<Bytes, int32_t> cases[] = {
        {Response({0xA0}), 0},
        {Bytes{3, 0, 0, 0, 0, 0, 0, 5}, 0},  // no body: an answer all the same
        {Response(Cat({{0xA1}, Text("rc"), {0x00}})), 0},
        {Response(Cat({{0xA1}, Text("rc"), {0x08}})), -1},
        {Response(Cat({{0xA1}, Text("rc"), {0x20}})), -1},  // rc -1
    };
    for (const auto& [answer, code] : cases) {
        FakeSmpDevice device([&](const Bytes&, uint32_t) { return answer; });
        const auto failure = Failure([&] { ResetDevice(device); });
        EXPECT_EQ(failure.first, code) << testing::PrintToString(answer);
        if (code != 0) EXPECT_EQ(failure.second, "Reset device failed.");
        const Bytes frame = device.Frames().at(0);
        EXPECT_EQ(FrameGroup(frame), 0);
        EXPECT_EQ(FrameCommand(frame), 5);
        EXPECT_EQ(FrameBody(frame), Bytes{0xA0});
        EXPECT_THAT(device.Timeouts(), ElementsAre(2000u));
    }
}

TEST(ListImages, DeviceErrorIsAFailureNotAnEmptyList) {
    for (const Bytes& body : {Cat({{0xA1}, Text("rc"), {0x08}}), Cat({{0xA1}, Text("rc"), {0x20}}),
                              Cat({{0xA2}, Text("rc"), {0x01}, Text("images"), {0x80}})}) {
        FakeSmpDevice device([&](const Bytes&, uint32_t) { return Response(body); });
        MIVOBLE_IMAGE_STATE images[2];
        uint32_t count = 2;
        g_lines.clear();
        testing::internal::CaptureStderr();
        const auto failure = Failure([&] { ListImages(device, images, &count); });
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(failure.first, -1) << testing::PrintToString(body);
        EXPECT_THAT(failure.second, testing::StartsWith("List images failed: SMP rc="));
        EXPECT_EQ(count, 0u);
    }
}

TEST(Exports, CodesAndTextsAtTheBoundary) {
    auto device = std::make_shared<FakeSmpDevice>();  // no responder: every command times out
    const MIVOBLE_HANDLE handle = HandleRegistry::Instance().Register(device, "smp-fake");
    EXPECT_EQ(MIVOBLE_ResetDevice(handle), -1);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "SMP command timed out waiting for response");
    EXPECT_EQ(MIVOBLE_ListImages(handle + 1000, nullptr, nullptr), 1);  // the handle is checked first
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Invalid device handle.");

    device->SetResponder([](const Bytes&, uint32_t) { return Response(Cat({{0xA1}, Text("r"), Text("pong")})); });
    char buffer[16];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(MIVOBLE_Echo(handle, "ping", buffer, &size), 0);
    EXPECT_STREQ(buffer, "pong");
    const uint8_t image[3] = {1, 2, 3};
    EXPECT_EQ(MIVOBLE_UploadImage(handle, image, 0, 0, nullptr, nullptr), 4);
    EXPECT_STREQ(MIVOBLE_GetLastErrorText(), "Image data and size must be valid.");
    HandleRegistry::Instance().Remove(handle);
}

TEST(Sequence, OneCounterPerDeviceForAllCommandsWrappingAt256) {
    FakeSmpDevice device([](const Bytes&, uint32_t) { return Response(Cat({{0xA1}, Text("r"), Text("")})); });
    FakeSmpDevice other([](const Bytes&, uint32_t) { return Response({0xA0}); });
    char buffer[4];
    for (int i = 0; i < 130; ++i) {
        uint32_t size = sizeof buffer;
        Echo(device, "a", buffer, &size);
        ConfirmImage(device);
    }
    ConfirmImage(other);
    const auto f = device.Frames();
    for (size_t i = 0; i < f.size(); ++i) ASSERT_EQ(FrameSequence(f[i]), static_cast<uint8_t>(i)) << i;
    EXPECT_EQ(FrameSequence(other.Frames().at(0)), 0);
}

// Waits (bounded) until `device` has `users` commands holding or waiting for its lock.
bool WaitForUsers(const IDevice* device, size_t users) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (ManagementLock::UsersForTesting(device) != users) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(Concurrency, OneCommandPerDeviceAtATimeButDevicesAreIndependent) {
    std::atomic<int> inFlight{0}, maxInFlight{0};
    FakeSmpDevice other([](const Bytes&, uint32_t) { return Response({0xA0}); });
    FakeSmpDevice device;
    std::atomic<bool> first{true};
    device.SetResponder([&](const Bytes&, uint32_t) {
        const int now = ++inFlight;
        maxInFlight = std::max(maxInFlight.load(), now);
        if (first.exchange(false)) {
            EraseImage(other);                      // another device is not held up by this one
            EXPECT_TRUE(WaitForUsers(&device, 2));  // the second command now waits for this one
        }
        --inFlight;
        return Response({0xA0});
    });
    auto a = std::async(std::launch::async, [&] { ConfirmImage(device); });
    auto b = std::async(std::launch::async, [&] { EraseImage(device); });
    a.get();
    b.get();
    EXPECT_EQ(maxInFlight.load(), 1);
    EXPECT_EQ(device.Frames().size(), 2u);
    EXPECT_EQ(ManagementLock::EntriesForTesting(), 0u);
}

}  // namespace
}  // namespace Mivo::BLE
