// Uploads with several requests in flight against the simulated MCUmgr server, answers matched
// to their requests, and what a lost link leaves behind.
#include <stdexcept>

#include "api/handle_registry.h"
#include "core/api_exception.h"
#include "integration/smp/smp_sim_support.h"
#include "smp/management_commands.h"

namespace Mivo::BLE::Testing {
namespace {

uint32_t Upload(MIVOBLE_HANDLE handle, const Image& image, ProgressLog* progress = nullptr) {
    return MIVOBLE_UploadImage(handle, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()), 0,
                               progress ? &ProgressLog::Record : nullptr, progress);
}

bool Reconnected(MIVOBLE_HANDLE handle, size_t states) {
    return Recorder::Instance().WaitFor(handle, [states](const HandleRecord& r) {
        return r.states.size() >= states && r.states.back() == MIVOBLE_CONNECTION_CONNECTED;
    });
}

TEST_F(SmpSimTest, WindowedUploadsAskForParametersOncePerConnection) {
    auto amplifier = AddAmplifier();  // answers buf_count 4, buf_size 384
    const MIVOBLE_HANDLE handle = OpenOrFail(amplifier->Name());
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
    const Image image = BuildImage(1, 4, 2, 20 * 1024);

    size_t before = amplifier->SmpRequestsReceived();
    ProgressLog first;
    ASSERT_EQ(Upload(handle, image, &first), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(amplifier->Images().at(1).data, image.bytes);  // its SHA-256 checked by the server
    EXPECT_EQ(first.offsets.front(), 171u);                  // a frame of 244 bytes: the link's limit
    EXPECT_TRUE(std::is_sorted(first.offsets.begin(), first.offsets.end()));
    EXPECT_EQ(first.offsets.back(), image.bytes.size());
    EXPECT_EQ(amplifier->SmpRequestsReceived() - before, first.offsets.size() + 1);  // + the question
    MIVOBLE_IMAGE_STATE raw[2];
    EXPECT_EQ(List(handle, raw), (std::vector<Listed>{{0, 5, "1.0.0"}, {1, 0, "1.4.2"}}));
    EXPECT_EQ(std::vector<uint8_t>(raw[1].hash, raw[1].hash + 32), image.hash);

    before = amplifier->SmpRequestsReceived();
    ProgressLog second;
    ASSERT_EQ(Upload(handle, image, &second), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(amplifier->SmpRequestsReceived() - before, second.offsets.size());

    // A new connection may reach other firmware: the question is asked again.
    amplifier->DropLink();
    ASSERT_TRUE(Reconnected(handle, 2));
    before = amplifier->SmpRequestsReceived();
    ProgressLog third;
    ASSERT_EQ(Upload(handle, image, &third), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    EXPECT_EQ(amplifier->SmpRequestsReceived() - before, third.offsets.size() + 1);
    EXPECT_EQ(amplifier->Images().at(1).data, image.bytes);
}

TEST_F(SmpSimTest, LateAnswerToATimedOutCommandIsNotTakenForTheNextOne) {
    Sim::AmplifierConfig config;
    config.eraseTime = std::chrono::milliseconds(300);
    auto amplifier = AddAmplifier(config);
    const MIVOBLE_HANDLE handle = OpenOrFail(amplifier->Name());
    const auto device = HandleRegistry::Instance().Lookup(handle);
    SmpTimeouts timeouts;
    timeouts.eraseImage = 20;
    EXPECT_THROW(EraseImage(*device, timeouts), std::runtime_error);
    // The erase's answer ({}) arrives while the echo waits; it must be dropped.
    char text[32] = {};
    uint32_t size = sizeof text;
    Echo(*device, "the echo's own answer", text, &size, timeouts);
    EXPECT_STREQ(text, "the echo's own answer");
}

TEST_F(SmpSimTest, LinkLostMidWindowFailsAndTheNextUploadStartsCleanly) {
    auto amplifier = AddAmplifier();
    const MIVOBLE_HANDLE handle = OpenOrFail(amplifier->Name());
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(handle, RecordState), MIVOBLE_OK);
    const auto device = HandleRegistry::Instance().Lookup(handle);
    const Image image = BuildImage(2, 0, 1, 16 * 1024);
    SmpTimeouts timeouts;
    timeouts.uploadChunk = 300;
    struct Dropper {
        Sim::Amplifier* amplifier;
        bool dropped = false;
        static void OnProgress(MIVOBLE_HANDLE, uint32_t offset, uint32_t, void* self) {
            auto* d = static_cast<Dropper*>(self);
            if (offset > 4000 && !d->dropped) {
                d->dropped = true;
                d->amplifier->DropLink();
            }
        }
    } dropper{amplifier.get()};
    try {
        UploadImage(*device, handle, image.bytes.data(), static_cast<uint32_t>(image.bytes.size()),
                    &Dropper::OnProgress, &dropper, timeouts);
        FAIL() << "the upload succeeded over a lost link";
    } catch (const ApiException& e) {
        EXPECT_STREQ(e.what(), "Failed to write characteristic value.");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "SMP command timed out waiting for response");
    }
    ASSERT_TRUE(dropper.dropped);
    ASSERT_TRUE(Reconnected(handle, 2));
    ProgressLog progress;
    ASSERT_EQ(Upload(handle, image, &progress), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    // The server kept the interrupted upload: the same image resumes where it stopped.
    EXPECT_TRUE(std::is_sorted(progress.offsets.begin(), progress.offsets.end()));
    EXPECT_EQ(progress.offsets.back(), image.bytes.size());
    EXPECT_EQ(amplifier->Images().at(1).data, image.bytes);
}

}  // namespace
}  // namespace Mivo::BLE::Testing
