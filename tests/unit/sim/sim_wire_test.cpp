// The simulator's own wire formats, checked against hand-computed bytes.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/sim/sim_wire.h"

namespace {

using namespace Mivo::BLE::Sim::Wire;

TEST(SimWire, CrcAndCommandFrames) {
    const char* check = "123456789";
    EXPECT_EQ(Crc16CcittFalse(reinterpret_cast<const uint8_t*>(check), 9), 0x29B1);

    auto request = ParseRequestFrame({0xF0, 0x00, 0x02, 0x10, 0x01, 0x02, 0xAC, 0x74});
    ASSERT_TRUE(request);
    EXPECT_EQ(request->command, 0x10);
    EXPECT_EQ(request->payload, (Bytes{0x01, 0x02}));
    auto empty = ParseRequestFrame({0xF0, 0x00, 0x00, 0x01, 0xDC, 0xBD});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->payload.empty());

    EXPECT_EQ(BuildResponseFrame(0x10, 0x00, {0x2A}), (Bytes{0xF0, 0x00, 0x01, 0x10, 0x00, 0x2A, 0xA1, 0xF3}));

    // Malformed requests: CRC, start byte, trailing byte, length beyond 512, too short.
    EXPECT_FALSE(ParseRequestFrame({0xF0, 0x00, 0x02, 0x10, 0x01, 0x02, 0xAC, 0x75}));
    EXPECT_FALSE(ParseRequestFrame({0xF1, 0x00, 0x02, 0x10, 0x01, 0x02, 0xAC, 0x74}));
    EXPECT_FALSE(ParseRequestFrame({0xF0, 0x00, 0x02, 0x10, 0x01, 0x02, 0xAC, 0x74, 0x00}));
    EXPECT_FALSE(ParseRequestFrame({0xF0, 0x02, 0x01, 0x10, 0x00, 0x00}));
    EXPECT_FALSE(ParseRequestFrame({0xF0, 0x00, 0x00, 0x01, 0xDC}));
}

TEST(SimWire, CborWriterHeads) {
    CborWriter w;
    w.Uint(23);
    w.Uint(24);
    w.Uint(256);
    w.Uint(65536);
    w.Text("data");
    w.Map(4);
    w.Bool(false);
    EXPECT_EQ(w.Data(), (Bytes{0x17, 0x18, 0x18, 0x19, 0x01, 0x00, 0x1A, 0x00, 0x01, 0x00, 0x00, 0x64, 'd', 'a', 't',
                               'a', 0xA4, 0xF4}));
}

TEST(SimWire, CborDecoding) {
    // {"off": 312, "d": "hi", "ok": true} with an indefinite map and a 32-byte byte string.
    Bytes b{0xBF, 0x63, 'o', 'f', 'f',  0x19, 0x01, 0x38, 0x61, 'd',  0x62, 'h',
            'i',  0x62, 'o', 'k', 0xF5, 0x63, 's',  'h',  'a',  0x58, 0x20};
    b.insert(b.end(), 32, 0x11);
    b.push_back(0xFF);
    auto v = DecodeCbor(b.data(), b.size());
    ASSERT_TRUE(v);
    ASSERT_TRUE(v->Find("off"));
    EXPECT_EQ(v->Find("off")->number, 312u);
    EXPECT_EQ(v->Find("d")->bytes, "hi");
    EXPECT_TRUE(v->Find("ok")->boolean);
    EXPECT_EQ(v->Find("sha")->bytes.size(), 32u);
    EXPECT_EQ(v->Find("missing"), nullptr);

    Bytes truncated{0xA1, 0x63, 'o', 'f', 'f', 0x19, 0x01};
    EXPECT_FALSE(DecodeCbor(truncated.data(), truncated.size()));
    Bytes trailing{0xA0, 0x00};
    EXPECT_FALSE(DecodeCbor(trailing.data(), trailing.size()));
    Bytes shortString{0x63, 'a', 'b'};
    EXPECT_FALSE(DecodeCbor(shortString.data(), shortString.size()));
    Bytes deep(40, 0x81);  // forty nested one-element arrays
    deep.push_back(0x00);
    EXPECT_FALSE(DecodeCbor(deep.data(), deep.size()));
    Bytes loneBreak{0xFF};
    EXPECT_FALSE(DecodeCbor(loneBreak.data(), loneBreak.size()));
}

TEST(SimWire, SmpHeaderRoundTrip) {
    SmpHeader h;
    h.op = kSmpOpWriteResponse;
    h.group = 1;
    h.sequence = 7;
    h.command = 1;
    Bytes frame = BuildSmpFrame(h, {0xA0});
    EXPECT_EQ(frame, (Bytes{0x03, 0x00, 0x00, 0x01, 0x00, 0x01, 0x07, 0x01, 0xA0}));
    auto parsed = ParseSmpHeader(frame);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->length, 1);
    EXPECT_EQ(parsed->sequence, 7);
    EXPECT_FALSE(ParseSmpHeader({0x00, 0x00, 0x00}));
}

TEST(SimWire, McubootImages) {
    Bytes body(1000, 0x5A);
    Bytes image = BuildImage(ImageVersion{2, 1, 3, 0}, body);
    ASSERT_EQ(image.size(), 32u + 1000u + 4u + 4u + 32u);
    EXPECT_EQ((Bytes{image[0], image[1], image[2], image[3]}),
              (Bytes{0x3D, 0xB8, 0xF3, 0x96}));  // magic, little-endian
    auto info = ParseImage(image);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->version.Text(), "2.1.3");
    EXPECT_EQ(info->hash, Sha256(image.data(), 32 + 1000));
    EXPECT_TRUE(info->bootable);
    EXPECT_EQ((ImageVersion{1, 2, 3, 4}.Text()), "1.2.3.4");

    Bytes corrupt = image;
    corrupt[100] ^= 1;  // body no longer matches the stored hash
    EXPECT_FALSE(ParseImage(corrupt));
    Bytes cut(image.begin(), image.end() - 10);
    EXPECT_FALSE(ParseImage(cut));
    Bytes badMagic = image;
    badMagic[0] = 0;
    EXPECT_FALSE(ParseImage(badMagic));
    EXPECT_FALSE(ParseImage(BuildImage({1, 0, 0, 0}, body, kImageFlagNonBootable))->bootable);
}

TEST(SimWire, Sha256KnownValue) {
    const char* abc = "abc";
    Bytes d = Sha256(reinterpret_cast<const uint8_t*>(abc), 3);
    Bytes expected{0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
                   0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
    EXPECT_EQ(d, expected);
}

TEST(SimWire, RecordsAndSamples) {
    AmplifierRecord r;
    r.samplingRate = 250;
    r.declaredChannelCount = r.channelCount = 9;
    r.payloadSize = 27;
    r.valuesPerPayload = 9;
    r.filterCount = 2;
    EXPECT_EQ(EncodeAmplifierRecord(r),
              (Bytes{0xFA, 0x00, 0x09, 0x00, 0, 0, 0, 0, 0x1B, 0x00, 0x09, 0x00, 0x09, 0x00, 0x02, 0x00}));
    EXPECT_EQ(EncodeChannelRecord(9, 5, 8, 1.0f), (Bytes{0x09, 0x00, 0x05, 0x08, 0x00, 0x00, 0x80, 0x3F}));
    EXPECT_EQ(EncodePayloadRecord(3, 2), (Bytes{0x03, 0x00, 0x02, 0x00}));

    Bytes out;
    AppendSample(out, -2, 4, true);
    AppendSample(out, -8388608, 3, false);
    AppendSample(out, 8388607, 3, false);
    AppendSample(out, 0x010203, 3, true);
    EXPECT_EQ(out, (Bytes{0xFE, 0xFF, 0xFF, 0xFF, 0x80, 0x00, 0x00, 0x7F, 0xFF, 0xFF, 0x03, 0x02, 0x01}));
}

}  // namespace
