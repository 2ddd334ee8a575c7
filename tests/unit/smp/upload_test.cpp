#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/api_exception.h"
#include "fake_smp_device.h"
#include "smp/management_commands.h"
#include "smp/sha256.h"

namespace Mivo::BLE {
namespace {

using namespace Testing;
using ::testing::ElementsAre;

struct Progress {
    std::vector<std::pair<uint32_t, uint32_t>> calls;
    static void Record(MIVOBLE_HANDLE handle, uint32_t offset, uint32_t total, void* self) {
        EXPECT_EQ(handle, 42u);
        static_cast<Progress*>(self)->calls.emplace_back(offset, total);
    }
};

Bytes Image(size_t size) {
    Bytes image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    return image;
}

// A later-chunk request: {"data": <bytes>, "off": n}; returns off and the data.
std::pair<uint32_t, Bytes> LaterChunk(const Bytes& frame) {
    const Bytes body = FrameBody(frame);
    EXPECT_EQ(Bytes(body.begin(), body.begin() + 6), Cat({{0xA2}, Text("data")}));
    EXPECT_EQ(body.at(6), 0x58);
    const size_t n = body.at(7);
    const Bytes data(body.begin() + 8, body.begin() + 8 + n);
    const Bytes rest(body.begin() + 8 + n, body.end());
    EXPECT_EQ(Bytes(rest.begin(), rest.begin() + 4), Text("off"));
    uint32_t off = 0;
    for (size_t i = 5; i < rest.size(); ++i) off = off << 8 | rest[i];
    EXPECT_EQ(Cat({Text("off"), Uint(off)}), rest);
    return {off, data};
}

TEST(Upload, SmallImageIsOneFirstChunkWithLengthAndHash) {
    const Bytes image = Image(100);
    FakeSmpDevice device([](const Bytes&, uint32_t) { return Response({0xA0}); });
    Progress progress;
    UploadImage(device, 42, image.data(), 100, &Progress::Record, &progress);

    ASSERT_EQ(device.Frames().size(), 1u);
    const Bytes frame = device.Frames()[0];
    EXPECT_EQ(FrameOp(frame), 2);
    EXPECT_EQ(FrameGroup(frame), 1);
    EXPECT_EQ(FrameCommand(frame), 1);
    EXPECT_EQ(FrameLength(frame), frame.size() - 8);
    const auto sha = ComputeSha256(image.data(), image.size());
    EXPECT_EQ(FrameBody(frame), Cat({{0xA4},
                                     Text("data"),
                                     {0x58, 100},
                                     image,
                                     Text("len"),
                                     {0x18, 100},
                                     Text("off"),
                                     {0x00},
                                     Text("sha"),
                                     {0x58, 0x20},
                                     Bytes(sha.begin(), sha.end())}));
    EXPECT_THAT(device.Timeouts(), ElementsAre(2000u));
    EXPECT_THAT(progress.calls, ElementsAre(std::pair{100u, 100u}));
}

TEST(Upload, ChunksFollowTheOffsetsTheDeviceReports) {
    const Bytes image = Image(1000);
    std::vector<size_t> chunkSizes;
    FakeSmpDevice device([&](const Bytes& frame, uint32_t) {
        if (chunkSizes.empty()) {
            EXPECT_LE(frame.size(), 224u);
            chunkSizes.push_back(156);
            EXPECT_TRUE(std::equal(image.begin(), image.begin() + 156, frame.begin() + 8 + 8));
            return Response(Cat({{0xA2}, Text("rc"), {0}, Text("off"), Uint(156)}));
        }
        EXPECT_LE(frame.size(), 241u);
        const auto [off, data] = LaterChunk(frame);
        EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + off));
        chunkSizes.push_back(data.size());
        return Response(Cat({{0xA2}, Text("rc"), {0}, Text("off"), Uint(off + static_cast<uint32_t>(data.size()))}));
    });
    Progress progress;
    UploadImage(device, 42, image.data(), 1000, &Progress::Record, &progress);
    EXPECT_THAT(chunkSizes, ElementsAre(156, 216, 216, 216, 196));
    EXPECT_THAT(progress.calls, ElementsAre(std::pair{156u, 1000u}, std::pair{372u, 1000u}, std::pair{588u, 1000u},
                                            std::pair{804u, 1000u}, std::pair{1000u, 1000u}));
    const auto frames = device.Frames();
    for (size_t i = 1; i < frames.size(); ++i)
        EXPECT_EQ(uint8_t(FrameSequence(frames[i]) - FrameSequence(frames[0])), i);
}

TEST(Upload, DeviceErrorStopsAtTheFailedChunk) {
    const Bytes image = Image(1000);
    FakeSmpDevice device([&](const Bytes&, uint32_t) {
        return device.Frames().size() == 2 ? Response(Cat({{0xA1}, Text("rc"), {0x05}})) : Response({0xA0});
    });
    Progress progress;
    try {
        UploadImage(device, 42, image.data(), 1000, &Progress::Record, &progress);
        FAIL() << "upload succeeded";
    } catch (const ApiException& e) {
        EXPECT_EQ(e.Code(), -1);
        EXPECT_STREQ(e.what(),
                     "Upload failed at offset 156/1000: SMP rc=5 (MCUboot: 1=EINVAL, 2=ENOENT, 5=EIO, 8=ENOMEM, "
                     "22=BAD_FORMAT, 28=ENOSPC)");
    }
    EXPECT_THAT(progress.calls, ElementsAre(std::pair{156u, 1000u}));
    EXPECT_EQ(device.Frames().size(), 2u);
}

TEST(Upload, ResponseWithoutBodyIsReadAsRcMinusOne) {
    const Bytes image = Image(10);
    FakeSmpDevice device([](const Bytes&, uint32_t) { return Bytes{0x03, 0, 0, 0, 0, 1, 0, 1}; });
    try {
        UploadImage(device, 42, image.data(), 10, nullptr, nullptr);
        FAIL() << "upload succeeded";
    } catch (const ApiException& e) {
        EXPECT_THAT(e.what(), ::testing::StartsWith("Upload failed at offset 0/10: SMP rc=-1 (MCUboot:"));
    }
}

TEST(Upload, DeviceMaySendTheUploadBackOrEndItButNotPastTheImage) {
    const Bytes image = Image(600);
    struct Case {
        std::vector<uint32_t> reported;
        bool succeeds;
    };
    for (const Case& c : {Case{{156, 0, 156, 372, 600}, true}, Case{{156, 0, 156, 372, 5000}, false},
                          Case{{156, 601}, false}, Case{{600}, true}}) {
        FakeSmpDevice device([&](const Bytes&, uint32_t) {
            const uint32_t next = c.reported.at(device.Frames().size() - 1);
            return Response(Cat({{0xA1}, Text("off"), Uint(next)}));
        });
        Progress progress;
        try {
            UploadImage(device, 42, image.data(), 600, &Progress::Record, &progress);
            EXPECT_TRUE(c.succeeds) << "an offset beyond the image ended the upload with success";
        } catch (const ApiException& e) {
            EXPECT_FALSE(c.succeeds) << e.what();
            EXPECT_EQ(e.Code(), -1);
            EXPECT_THAT(e.what(), ::testing::StartsWith("Upload failed at offset "));
        }
        const auto frames = device.Frames();
        ASSERT_EQ(frames.size(), c.reported.size());
        if (frames.size() == 5) {
            EXPECT_EQ(FrameBody(frames[2])[0], 0xA4);  // sent back to 0: a first chunk again, with "len" and "sha"
            EXPECT_EQ(LaterChunk(frames[4]).first, 372u);
        }
        // Progress goes forward only, and never past the image.
        for (size_t i = 1; i < progress.calls.size(); ++i)
            EXPECT_GE(progress.calls[i].first, progress.calls[i - 1].first);
        for (const auto& call : progress.calls) EXPECT_LE(call.first, 600u);
    }
}

TEST(Upload, DeviceThatNeverLetsItFinishIsGivenUp) {
    const Bytes image = Image(1000);  // five chunks at best
    FakeSmpDevice device([](const Bytes&, uint32_t) { return Response(Cat({{0xA1}, Text("off"), Uint(156)})); });
    EXPECT_THROW(UploadImage(device, 42, image.data(), 1000, nullptr, nullptr), ApiException);
    EXPECT_EQ(device.Frames().size(), 4u * 5 + 16);
}

TEST(Upload, InvalidImageIsRejectedBeforeSending) {
    FakeSmpDevice device;
    const uint8_t byte = 0;
    for (auto [data, size] : {std::pair<const uint8_t*, uint32_t>{nullptr, 10}, {&byte, 0}}) {
        try {
            UploadImage(device, 42, data, size, nullptr, nullptr);
            FAIL();
        } catch (const ApiException& e) {
            EXPECT_EQ(e.Code(), 4);
            EXPECT_STREQ(e.what(), "Image data and size must be valid.");
        }
    }
    EXPECT_TRUE(device.Frames().empty());
}

TEST(Upload, Sha256OfKnownInput) {
    const std::string abc = "abc";
    const auto digest = ComputeSha256(reinterpret_cast<const uint8_t*>(abc.data()), abc.size());
    const Bytes expected = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                            0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                            0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(Bytes(digest.begin(), digest.end()), expected);
}

}  // namespace
}  // namespace Mivo::BLE
