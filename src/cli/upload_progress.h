// Upload progress: a bar with KB/s and time left on a terminal, plain lines otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>

namespace Mivo::Cli {

class UploadProgress {
public:
    UploadProgress(std::FILE* out, bool terminal, uint32_t total);
    void Update(uint32_t offset);
    void Finish();

    // Matches UploadProgressCallback; userData is an UploadProgress.
    static void Callback(uint64_t handle, uint32_t offset, uint32_t total, void* userData);

private:
    std::FILE* out_;
    bool terminal_;
    uint32_t total_;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastShown_;
    int lastPercentShown_ = -1;
    bool barOpen_ = false;
};

}  // namespace Mivo::Cli
