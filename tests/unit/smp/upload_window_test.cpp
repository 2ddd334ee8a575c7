// Uploads with several requests in flight: the plan made from the server's parameters, the
// fallback to one request at a time, and draining the window when the device's offset differs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "core/api_exception.h"
#include "fake_smp_device.h"
#include "smp/cbor.h"
#include "smp/management_commands.h"
#include "smp/smp_frame.h"
#include "smp/smp_parameters.h"

namespace Mivo::BLE {
namespace {

using namespace Testing;

Bytes Image(size_t size) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    return image;
}

// A device's upload handler: takes chunks at the offset it expects, answers any other offset
// with the one it expects; `reject` makes it refuse a chunk once (answering the chunk's own
// offset, as a server that lost it would). Also answers the parameters command.
struct MiniServer {
    Bytes stored;
    uint32_t expected = 0;
    uint32_t rejectAt = UINT32_MAX;
    std::optional<Bytes> parametersBody;  // nullopt: rc 8
    int parameterQuestions = 0;

    Bytes Handle(const Bytes& frame) {
        if (FrameGroup(frame) == 0 && FrameCommand(frame) == 6) {
            ++parameterQuestions;
            return Response(parametersBody ? *parametersBody : Cat({{0xA1}, Text("rc"), {0x08}}));
        }
        CborReader reader(frame.data() + 8, frame.size() - 8);
        CborMapIteration map;
        OpenMap(reader, map);
        std::string key;
        Bytes data;
        uint32_t off = 0;
        while (NextMapKey(map, key)) {
            CborReader value = reader;
            if (key == "off") off = static_cast<uint32_t>(ReadArgument(value));
            if (key == "data") {
                const uint64_t n = ReadArgument(value);
                data.assign(value.data + value.position, value.data + value.position + n);
            }
            SkipItem(reader);
        }
        if (off == 0) {
            stored.clear();
            expected = 0;
        }
        if (off != expected || off == rejectAt) {
            if (off == rejectAt) rejectAt = UINT32_MAX;
            return Response(Cat({{0xA1}, Text("off"), Uint(expected)}));
        }
        stored.insert(stored.end(), data.begin(), data.end());
        expected += static_cast<uint32_t>(data.size());
        return Response(Cat({{0xA1}, Text("off"), Uint(expected)}));
    }
};

struct Progress {
    std::vector<uint32_t> offsets;
    static void Record(MIVOBLE_HANDLE, uint32_t offset, uint32_t, void* self) {
        static_cast<Progress*>(self)->offsets.push_back(offset);
    }
};

Bytes Parameters(uint32_t size, uint32_t count) {
    return Cat({{0xA2}, Text("buf_size"), Uint(size), Text("buf_count"), Uint(count)});
}

TEST(UploadPlan, WindowAndChunksFromTheParametersOrTheFixedSizes) {
    struct Case {
        const char* name;
        SmpServerParameters parameters;
        size_t maxFrame, windowLimit;
        UploadPlan plan;
    };
    const Case cases[] = {
        {"unsupported", {true, false, 0, 0}, 244, 4, {1, 156, 216}},
        {"buf_count 4, frames limited by the link", {true, true, 384, 4}, 244, 4, {3, 171, 218}},
        {"frames limited by buf_size", {true, true, 200, 4}, 497, 4, {3, 127, 174}},
        {"huge values are clamped", {true, true, UINT32_MAX, UINT32_MAX}, 100000, 4, {4, 65462, 65509}},
        {"one buffer: one in flight", {true, true, 384, 1}, 244, 4, {1, 171, 218}},
        {"forced to one in flight", {true, true, 384, 4}, 244, 1, {1, 171, 218}},
        {"buffers too small for a first chunk", {true, true, 100, 4}, 244, 4, {1, 156, 216}},
    };
    for (const auto& c : cases) {
        const UploadPlan plan = PlanUpload(c.parameters, c.maxFrame, c.windowLimit);
        EXPECT_EQ(plan.window, c.plan.window) << c.name;
        EXPECT_EQ(plan.firstChunk, c.plan.firstChunk) << c.name;
        EXPECT_EQ(plan.laterChunk, c.plan.laterChunk) << c.name;
    }
}

TEST(UploadPlan, ParametersAnswersThatAreNotUsableReadAsUnsupported) {
    const std::pair<Bytes, bool> cases[] = {
        {Response(Parameters(384, 4)), true},
        {Response(Cat({{0xA3}, Text("rc"), {0}, Text("buf_size"), Uint(384), Text("buf_count"), Uint(4)})), true},
        {Response(Cat({{0xA1}, Text("rc"), {0x08}})), false},
        {Response(Cat({{0xA1}, Text("buf_size"), Uint(384)})), false},  // buf_count missing
        {Response(Parameters(0, 4)), false},
        {Response(Parameters(384, 0)), false},
        {Response(Cat({{0xA2}, Text("buf_size"), Text("384"), Text("buf_count"), Uint(4)})), false},
        {Response(Cat({{0xA2}, Text("buf_size"), {0x1B, 0, 0, 0, 1, 0, 0, 0, 0}, Text("buf_count"), Uint(4)})), false},
        {Bytes{3, 0, 0, 0, 0, 0, 0, 6}, false},
    };
    for (const auto& [response, supported] : cases) {
        const auto parameters = ParseParametersResponse(response.data(), response.size());
        EXPECT_TRUE(parameters.known);
        EXPECT_EQ(parameters.supported, supported) << testing::PrintToString(response);
    }
}

TEST(UploadWindow, RejectedChunkDrainsTheWindowAndResumesFromTheDevicesOffset) {
    const Bytes image = Image(3000);
    MiniServer server;
    server.parametersBody = Parameters(384, 4);
    server.rejectAt = 171 + 218;  // the second later chunk is lost once
    FakeSmpDevice device([&](const Bytes& frame, uint32_t) { return server.Handle(frame); });
    device.SetSmpParameters({});  // not asked yet on this connection
    Progress progress;
    UploadImage(device, 1, image.data(), static_cast<uint32_t>(image.size()), &Progress::Record, &progress);

    EXPECT_EQ(server.stored, image);
    EXPECT_EQ(server.parameterQuestions, 1);
    EXPECT_EQ(device.MaxInFlight(), 3u);
    EXPECT_EQ(device.SessionsOpened(), 1u);
    EXPECT_EQ(device.SessionsClosed(), 1u);
    ASSERT_FALSE(progress.offsets.empty());
    EXPECT_TRUE(std::is_sorted(progress.offsets.begin(), progress.offsets.end()));
    EXPECT_EQ(progress.offsets.front(), 171u);
    EXPECT_EQ(progress.offsets.back(), 3000u);
    const auto frames = device.Frames();
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_LE(frames[i].size(), 244u);

    // The next upload on the same connection does not ask again.
    server.stored.clear();
    UploadImage(device, 1, image.data(), static_cast<uint32_t>(image.size()), nullptr, nullptr);
    EXPECT_EQ(server.parameterQuestions, 1);
    EXPECT_EQ(server.stored, image);
}

TEST(UploadWindow, UnsupportedOrUnansweredParametersKeepOneRequestAndTheFixedSizes) {
    for (const bool answered : {true, false}) {
        const Bytes image = Image(1000);
        MiniServer server;
        FakeSmpDevice device([&](const Bytes& frame, uint32_t) {
            if (!answered && FrameCommand(frame) == 6 && FrameGroup(frame) == 0) {
                throw std::runtime_error("SMP command timed out waiting for response");
            }
            return server.Handle(frame);
        });
        device.SetSmpParameters({});
        Progress progress;
        UploadImage(device, 1, image.data(), 1000, &Progress::Record, &progress);
        EXPECT_EQ(server.stored, image);
        EXPECT_EQ(device.MaxInFlight(), 1u);
        EXPECT_THAT(progress.offsets, ::testing::ElementsAre(156, 372, 588, 804, 1000));
        EXPECT_EQ(device.Timeouts().front(), 1000u);  // the parameters question
    }
}

TEST(UploadWindow, EnvironmentForcesOneRequestInFlight) {
    const Bytes image = Image(2000);
    MiniServer server;
    FakeSmpDevice device([&](const Bytes& frame, uint32_t) { return server.Handle(frame); });
    device.SetSmpParameters({true, true, 384, 4});
    setenv("MIVOBLE_SMP_WINDOW", "1", 1);
    UploadImage(device, 1, image.data(), 2000, nullptr, nullptr);
    unsetenv("MIVOBLE_SMP_WINDOW");
    EXPECT_EQ(device.MaxInFlight(), 1u);
    EXPECT_EQ(server.stored, image);
}

TEST(UploadWindow, FailuresInTheWindowEndTheSessionAndKeepTheTexts) {
    const Bytes image = Image(3000);
    struct Case {
        const char* name;
        std::function<Bytes(MiniServer&, const Bytes&)> answer;
        std::string text;
    };
    const Case cases[] = {
        {"device error on a later chunk",
         [](MiniServer& s, const Bytes& f) {
             return s.expected > 171 ? Response(Cat({{0xA1}, Text("rc"), {0x05}})) : s.Handle(f);
         },
         "Upload failed at offset 389/3000: SMP rc=5 (MCUboot:"},
        {"offset beyond the image",
         [](MiniServer& s, const Bytes& f) {
             return s.expected > 171 ? Response(Cat({{0xA1}, Text("off"), Uint(3001)})) : s.Handle(f);
         },
         "Upload failed at offset 389/3000: the device reported an offset beyond the image."},
        {"link lost mid-window",
         [](MiniServer& s, const Bytes& f) -> Bytes {
             if (s.expected > 171) throw std::runtime_error("SMP command timed out waiting for response");
             return s.Handle(f);
         },
         "SMP command timed out waiting for response"},
    };
    for (const auto& c : cases) {
        MiniServer server;
        FakeSmpDevice device([&](const Bytes& frame, uint32_t) { return c.answer(server, frame); });
        device.SetSmpParameters({true, true, 384, 4});
        try {
            UploadImage(device, 1, image.data(), 3000, nullptr, nullptr);
            ADD_FAILURE() << c.name << ": the upload succeeded";
        } catch (const std::exception& e) {
            EXPECT_THAT(e.what(), ::testing::StartsWith(c.text)) << c.name;
        }
        EXPECT_EQ(device.SessionsClosed(), device.SessionsOpened()) << c.name;
    }
}

}  // namespace
}  // namespace Mivo::BLE
