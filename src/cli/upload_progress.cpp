#include "cli/upload_progress.h"

#include <string>

namespace Mivo::Cli {

namespace {
constexpr int kBarWidth = 30;
// Plain output: a line every 10 %.
constexpr int kPlainStepPercent = 10;
}  // namespace

UploadProgress::UploadProgress(std::FILE* out, bool terminal, uint32_t total)
    : out_(out), terminal_(terminal), total_(total), started_(std::chrono::steady_clock::now()) {}

void UploadProgress::Callback(uint64_t, uint32_t offset, uint32_t, void* userData) {
    static_cast<UploadProgress*>(userData)->Update(offset);
}

void UploadProgress::Update(uint32_t offset) {
    auto now = std::chrono::steady_clock::now();
    double seconds = std::chrono::duration<double>(now - started_).count();
    double done = total_ ? static_cast<double>(offset > total_ ? total_ : offset) / total_ : 1.0;
    double rate = seconds > 0 ? offset / seconds : 0.0;  // bytes per second
    double left = rate > 0 ? (static_cast<double>(total_) - offset) / rate : 0.0;
    int percent = static_cast<int>(done * 100.0);
    if (terminal_) {
        if (offset < total_ && now - lastShown_ < std::chrono::milliseconds(100)) return;
        lastShown_ = now;
        int filled = static_cast<int>(done * kBarWidth);
        std::string bar(static_cast<size_t>(filled), '#');
        bar.append(static_cast<size_t>(kBarWidth - filled), '.');
        std::fprintf(out_, "\r[%s] %3d%%  %u/%u bytes  %.1f KB/s  %.0f s left  ", bar.c_str(), percent, offset, total_,
                     rate / 1024.0, left);
        barOpen_ = true;
    } else {
        if (percent / kPlainStepPercent == lastPercentShown_ / kPlainStepPercent && offset < total_) return;
        lastPercentShown_ = percent;
        std::fprintf(out_, "uploaded %u/%u bytes (%d%%), %.1f KB/s, %.0f s left\n", offset, total_, percent,
                     rate / 1024.0, left);
    }
    std::fflush(out_);
}

void UploadProgress::Finish() {
    if (barOpen_) std::fputc('\n', out_);
    barOpen_ = false;
}

}  // namespace Mivo::Cli
