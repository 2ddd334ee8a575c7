// The SMP server as a real client meets it: image state, upload steered by "off" and
// checked by SHA-256, test, confirm, erase, echo, reset with MCUboot's swap and revert.
#include <gtest/gtest.h>

#include "platform/sim/sim_smp.h"
#include "platform/sim/sim_wire.h"
#include "unit/sim/sim_upload.h"

namespace {

using namespace Mivo::BLE::Sim;
using namespace Mivo::BLE::Sim::Wire;
using Detail::SmpServer;
using SimTest::UploadRequestBody;

class SmpServerTest : public ::testing::Test {
protected:
    // Sends one request and returns the decoded body of the reply (checking its header).
    CborValue Request(uint8_t op, uint16_t group, uint8_t command, const Bytes& body) {
        SmpHeader h;
        h.op = op;
        h.group = group;
        h.command = command;
        h.sequence = ++seq_;
        auto result = server_.Handle(BuildSmpFrame(h, body));
        lastReset_ = result.reset;
        auto reply = ParseSmpHeader(result.response);
        EXPECT_TRUE(reply);
        if (!reply) return {};
        EXPECT_EQ(reply->op, op + 1);
        EXPECT_EQ(reply->group, group);
        EXPECT_EQ(reply->command, command);
        EXPECT_EQ(reply->sequence, seq_);
        EXPECT_EQ(result.response.size(), kSmpHeaderSize + reply->length);
        auto value = DecodeCbor(result.response.data() + kSmpHeaderSize, reply->length);
        EXPECT_TRUE(value);
        return value ? *value : CborValue{};
    }
    static int Rc(const CborValue& v) {
        auto rc = v.Find("rc");
        return rc ? static_cast<int>(rc->number) : 0;
    }
    CborValue List() { return Request(kSmpOpRead, kSmpGroupImage, kSmpImageState, {0xA0}); }
    static const CborValue* Image(const CborValue& list, uint64_t slot) {
        auto images = list.Find("images");
        if (!images) return nullptr;
        for (auto& i : images->items)
            if (i.Find("slot") && i.Find("slot")->number == slot) return &i;
        return nullptr;
    }
    static bool Flag(const CborValue* image, const char* key) {
        return image && image->Find(key) && image->Find(key)->boolean;
    }

    // Uploads like the library does: 156-byte first chunk with len and sha, then 216-byte
    // chunks at whatever offset the server reports. Returns the final rc.
    int Upload(const Bytes& image, Bytes sha = {}) {
        if (sha.empty()) sha = Sha256(image);
        size_t off = 0;
        int guard = 0;
        while (off < image.size() && ++guard < 10000) {
            size_t n = 0;
            auto reply = Request(kSmpOpWrite, kSmpGroupImage, kSmpImageUpload, UploadRequestBody(image, off, sha, &n));
            if (Rc(reply) != 0) return Rc(reply);
            EXPECT_TRUE(reply.Find("off"));
            off = reply.Find("off") ? reply.Find("off")->number : off + n;
        }
        return 0;
    }
    CborValue Test(const Bytes& hash) {
        CborWriter w;
        w.Map(2);
        w.Text("hash");
        w.ByteString(hash);
        w.Text("confirm");
        w.Bool(false);
        return Request(kSmpOpWrite, kSmpGroupImage, kSmpImageState, w.Data());
    }
    CborValue Confirm() {
        CborWriter w;
        w.Map(1);
        w.Text("confirm");
        w.Bool(true);
        return Request(kSmpOpWrite, kSmpGroupImage, kSmpImageState, w.Data());
    }
    Bytes NewImage(uint8_t major, size_t size = 5000) {
        Bytes body(size);
        for (size_t i = 0; i < size; ++i) body[i] = static_cast<uint8_t>(i * 7 + major);
        return BuildImage(ImageVersion{major, 0, 0, 0}, body);
    }

    SmpServer server_{SmpServer::Options{}};
    uint8_t seq_ = 0;
    bool lastReset_ = false;
};

TEST_F(SmpServerTest, SeededRunningImage) {
    auto list = List();
    EXPECT_EQ(Rc(list), 0);
    EXPECT_FALSE(list.Find("rc"));  // success replies carry no rc
    ASSERT_EQ(list.Find("images")->items.size(), 1u);
    auto slot0 = Image(list, 0);
    ASSERT_TRUE(slot0);
    EXPECT_EQ(slot0->Find("version")->bytes, "1.0.0");
    EXPECT_EQ(slot0->Find("hash")->bytes.size(), 32u);
    EXPECT_TRUE(Flag(slot0, "active"));
    EXPECT_TRUE(Flag(slot0, "confirmed"));
    EXPECT_TRUE(Flag(slot0, "bootable"));
    EXPECT_FALSE(Flag(slot0, "pending"));
    EXPECT_FALSE(Flag(slot0, "permanent"));
    EXPECT_TRUE(list.Find("splitStatus"));
    // The listed hash is the image's own trailer hash (over header and body).
    Bytes seed = SmpServer::SeedImage();
    Bytes expected = Sha256(seed.data(), seed.size() - 40);
    EXPECT_EQ(Bytes(slot0->Find("hash")->bytes.begin(), slot0->Find("hash")->bytes.end()), expected);
}

TEST_F(SmpServerTest, UploadTestResetConfirmAndRevert) {
    Bytes image = NewImage(2);
    ASSERT_EQ(Upload(image), 0);
    auto list = List();
    auto slot1 = Image(list, 1);
    ASSERT_TRUE(slot1);
    EXPECT_EQ(slot1->Find("version")->bytes, "2.0.0");
    EXPECT_FALSE(Flag(slot1, "pending"));
    Bytes hash(slot1->Find("hash")->bytes.begin(), slot1->Find("hash")->bytes.end());

    // Test: pending on slot 1; a second test is a no-op success.
    auto tested = Test(hash);
    EXPECT_EQ(Rc(tested), 0);
    EXPECT_TRUE(Flag(Image(tested, 1), "pending"));
    EXPECT_FALSE(Flag(Image(tested, 1), "permanent"));
    EXPECT_EQ(Rc(Test(hash)), 0);
    // Confirming the running image while a test is pending is refused.
    EXPECT_EQ(Rc(Confirm()), 6);

    // Reset swaps: the new image runs unconfirmed, the old one waits to be reverted to.
    EXPECT_TRUE(Request(kSmpOpWrite, kSmpGroupOs, kSmpOsReset, {0xA0}).entries.empty());
    EXPECT_TRUE(lastReset_);
    server_.Reboot();
    list = List();
    EXPECT_EQ(Image(list, 0)->Find("version")->bytes, "2.0.0");
    EXPECT_FALSE(Flag(Image(list, 0), "confirmed"));
    EXPECT_TRUE(Flag(Image(list, 1), "confirmed"));
    EXPECT_EQ(server_.RunningVersion(), "2.0.0");
    // No upload while a revert is due; erasing the image to revert to is refused too.
    EXPECT_EQ(Upload(NewImage(3)), 6);
    EXPECT_EQ(Rc(Request(kSmpOpWrite, kSmpGroupImage, kSmpImageErase, {0xA0})), 6);

    // A reset without confirm reverts.
    server_.Reboot();
    EXPECT_EQ(server_.RunningVersion(), "1.0.0");
    EXPECT_TRUE(Flag(Image(List(), 0), "confirmed"));

    // Test again, reset, confirm: the new image stays.
    EXPECT_EQ(Rc(Test(hash)), 0);
    server_.Reboot();
    auto confirmed = Confirm();
    EXPECT_EQ(Rc(confirmed), 0);
    EXPECT_TRUE(Flag(Image(confirmed, 0), "confirmed"));
    EXPECT_FALSE(Flag(Image(confirmed, 1), "confirmed"));
    server_.Reboot();
    EXPECT_EQ(server_.RunningVersion(), "2.0.0");

    // The old image in slot 1 can now be erased; the slot disappears from the list.
    auto erased = Request(kSmpOpWrite, kSmpGroupImage, kSmpImageErase, {0xA0});
    EXPECT_EQ(Rc(erased), 0);
    EXPECT_EQ(List().Find("images")->items.size(), 1u);
}

TEST_F(SmpServerTest, ConfirmWithHashIsPermanent) {
    Bytes image = NewImage(4);
    ASSERT_EQ(Upload(image), 0);
    Bytes hash = Sha256(image.data(), image.size() - 40);
    CborWriter w;
    w.Map(2);
    w.Text("hash");
    w.ByteString(hash);
    w.Text("confirm");
    w.Bool(true);
    auto reply = Request(kSmpOpWrite, kSmpGroupImage, kSmpImageState, w.Data());
    EXPECT_TRUE(Flag(Image(reply, 1), "pending"));
    EXPECT_TRUE(Flag(Image(reply, 1), "permanent"));
    server_.Reboot();
    EXPECT_EQ(server_.RunningVersion(), "4.0.0");
    EXPECT_TRUE(Flag(Image(List(), 0), "confirmed"));
}

TEST_F(SmpServerTest, UploadChecks) {
    Bytes image = NewImage(5, 3000);
    // Wrong announced SHA-256: the last chunk is refused and the slot stays empty.
    Bytes wrong(32, 0xEE);
    EXPECT_EQ(Upload(image, wrong), 3);
    EXPECT_EQ(List().Find("images")->items.size(), 1u);

    auto send = [&](const Bytes& body) { return Request(kSmpOpWrite, kSmpGroupImage, kSmpImageUpload, body); };
    auto first = [&](const Bytes& data, bool withLen, size_t len = 0) {
        CborWriter w;
        w.Map(withLen ? 3 : 2);
        w.Text("data");
        w.ByteString(data);
        if (withLen) {
            w.Text("len");
            w.Uint(len);
        }
        w.Text("off");
        w.Uint(0);
        return send(w.Data());
    };
    Bytes head(image.begin(), image.begin() + 100);
    EXPECT_EQ(Rc(first(Bytes(image.begin(), image.begin() + 20), true, image.size())), 3);  // under 32 bytes
    EXPECT_EQ(Rc(first(head, false)), 3);                                                   // no len
    Bytes noMagic = head;
    noMagic[0] = 0;
    EXPECT_EQ(Rc(first(noMagic, true, image.size())), 1);
    EXPECT_EQ(Rc(first(head, true, 10 * 1024 * 1024)), 1);  // larger than the slot
    {
        CborWriter w;  // missing "off"
        w.Map(1);
        w.Text("data");
        w.ByteString(head);
        EXPECT_EQ(Rc(send(w.Data())), 3);
    }

    // Offsets steer: a repeated or skipped chunk gets the expected offset back.
    auto reply = first(head, true, image.size());
    EXPECT_EQ(reply.Find("off")->number, 100u);
    auto chunk = [&](size_t off, size_t n) {
        CborWriter w;
        w.Map(2);
        w.Text("data");
        w.ByteString(Bytes(image.begin() + off, image.begin() + off + n));
        w.Text("off");
        w.Uint(off);
        return send(w.Data());
    };
    EXPECT_EQ(chunk(0 + 50, 50).Find("off")->number, 100u);  // out of order
    EXPECT_EQ(chunk(300, 100).Find("off")->number, 100u);    // skipped ahead
    EXPECT_EQ(chunk(100, 200).Find("off")->number, 300u);
    EXPECT_EQ(Rc(chunk(image.size() - 10, 10)), 0);  // wrong offset: data dropped
    // A chunk running past "len" is an overrun.
    {
        CborWriter w;
        w.Map(2);
        w.Text("data");
        w.ByteString(Bytes(image.size(), 0));
        w.Text("off");
        w.Uint(300);
        EXPECT_EQ(Rc(send(w.Data())), 1);
    }
    // After the error there is no upload: a later chunk is told to start at 0.
    EXPECT_EQ(chunk(300, 10).Find("off")->number, 0u);
}

TEST_F(SmpServerTest, UploadResumesWithTheSameSha) {
    Bytes image = NewImage(6, 2000);
    Bytes sha = Sha256(image);
    auto firstChunk = [&](size_t n) {
        CborWriter w;
        w.Map(4);
        w.Text("data");
        w.ByteString(Bytes(image.begin(), image.begin() + n));
        w.Text("len");
        w.Uint(image.size());
        w.Text("off");
        w.Uint(0);
        w.Text("sha");
        w.ByteString(sha);
        return Request(kSmpOpWrite, kSmpGroupImage, kSmpImageUpload, w.Data());
    };
    EXPECT_EQ(firstChunk(156).Find("off")->number, 156u);
    EXPECT_EQ(firstChunk(156).Find("off")->number, 156u);  // same sha: resume, not restart
    ASSERT_EQ(Upload(image), 0);  // a new client starting over with the same sha resumes at 156
    EXPECT_EQ(server_.SlotData(1), image);
}

TEST_F(SmpServerTest, EchoResetAndUnsupported) {
    CborWriter w;
    w.Map(1);
    w.Text("d");
    w.Text("hello");
    EXPECT_EQ(Request(kSmpOpWrite, kSmpGroupOs, kSmpOsEcho, w.Data()).Find("r")->bytes, "hello");
    EXPECT_EQ(Request(kSmpOpRead, kSmpGroupOs, kSmpOsEcho, {0xA0}).Find("r")->bytes, "");
    CborWriter notText;
    notText.Map(1);
    notText.Text("d");
    notText.Uint(5);
    EXPECT_EQ(Rc(Request(kSmpOpWrite, kSmpGroupOs, kSmpOsEcho, notText.Data())), 3);
    EXPECT_EQ(Rc(Request(kSmpOpRead, kSmpGroupOs, kSmpOsReset, {0xA0})), 8);
    EXPECT_FALSE(lastReset_);
    EXPECT_EQ(Rc(Request(kSmpOpWrite, 9, 0, {0xA0})), 8);
    EXPECT_EQ(Rc(Request(kSmpOpWrite, kSmpGroupOs, kSmpOsEcho, {0xA1, 0x61})), 3);  // undecodable
    // Test and confirm argument checks.
    EXPECT_EQ(Rc(Test(Bytes(20, 1))), 3);
    EXPECT_EQ(Rc(Test(Bytes(32, 1))), 1);  // unknown hash
    Bytes running = Sha256(SmpServer::SeedImage().data(), SmpServer::SeedImage().size() - 40);
    EXPECT_EQ(Rc(Test(running)), 1);  // the running image cannot be tested
    EXPECT_EQ(Rc(Request(kSmpOpWrite, kSmpGroupImage, kSmpImageState, {0xA0})), 3);
    EXPECT_EQ(Rc(Confirm()), 0);  // already confirmed
    // A response frame is not a request: no reply.
    SmpHeader h;
    h.op = kSmpOpReadResponse;
    EXPECT_TRUE(server_.Handle(BuildSmpFrame(h, {0xA0})).response.empty());
}

TEST(SmpServerOptions, RcZeroOnUploadAndErase) {
    SmpServer server(SmpServer::Options{256 * 1024, true});
    SmpHeader h;
    h.op = kSmpOpWrite;
    h.group = kSmpGroupImage;
    h.command = kSmpImageErase;
    auto r = server.Handle(BuildSmpFrame(h, {0xA0}));
    auto v = DecodeCbor(r.response.data() + kSmpHeaderSize, r.response.size() - kSmpHeaderSize);
    ASSERT_TRUE(v && v->Find("rc"));
    EXPECT_EQ(v->Find("rc")->number, 0u);
}

}  // namespace
