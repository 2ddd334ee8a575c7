#include <gtest/gtest.h>

#include <time.h>

#include "fake_smp_device.h"
#include "smp/management_commands.h"

namespace Mivo::BLE {
namespace {

using namespace Testing;

double ThreadCpuMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// CPU time the library spends per chunk when the device answers at once; the answer is made
// once, so the figure is the library's own work (hashing included).
TEST(UploadCost, CpuTimePerChunk) {
    const Bytes image(512 * 1024, 0x5C);
    const Bytes answer = Response({0xA0});
    FakeSmpDevice device([&](const Bytes&, uint32_t) { return answer; });
    const double start = ThreadCpuMicroseconds();
    UploadImage(device, 1, image.data(), static_cast<uint32_t>(image.size()), nullptr, nullptr);
    const double elapsed = ThreadCpuMicroseconds() - start;
    const size_t chunks = device.Frames().size();
    ASSERT_EQ(chunks, 1 + (image.size() - 156 + 215) / 216);
    const double perChunk = elapsed / static_cast<double>(chunks);
    std::printf("upload: %zu chunks, %.2f us CPU per chunk\n", chunks, perChunk);
    RecordProperty("cpu_us_per_chunk", std::to_string(perChunk));
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_LT(perChunk, 50.0);
#endif
}

}  // namespace
}  // namespace Mivo::BLE
