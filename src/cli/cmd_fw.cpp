// fw: firmware images over SMP (list, upload, test, confirm, erase, reset, echo).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/hex.h"
#include "cli/mcuboot_image.h"
#include "cli/upload_progress.h"

namespace Mivo::Cli {

namespace {

struct FwOptions {
    std::string name;
    std::string image;
    std::string hash;
    std::string text;
    bool test = false;
    bool confirm = false;
    bool reset = false;
};

// The image listing writes the library's parse diagnostics to stderr; the tool shows the
// parsed table instead, so they are kept off the terminal for the duration of the call.
class QuietStderr {
public:
    QuietStderr() {
        std::fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) close(null);
    }
    ~QuietStderr() {
        if (saved_ < 0) return;
        dup2(saved_, STDERR_FILENO);
        close(saved_);
    }
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_ = -1;
};

constexpr uint32_t kMaxSlots = 8;

std::vector<MIVOBLE_IMAGE_STATE> ListImages(const Device& device) {
    std::vector<MIVOBLE_IMAGE_STATE> images(kMaxSlots);
    uint32_t count = kMaxSlots;
    int32_t rc;
    {
        QuietStderr quiet;
        rc = MIVOBLE_ListImages(device.Handle(), images.data(), &count);
    }
    Check(rc, "list images");
    images.resize(count);
    return images;
}

std::string FlagText(uint8_t flags) {
    std::string text;
    if (flags & MIVOBLE_IMAGE_FLAG_ACTIVE) text += "active ";
    if (flags & MIVOBLE_IMAGE_FLAG_CONFIRMED) text += "confirmed ";
    if (flags & MIVOBLE_IMAGE_FLAG_PENDING) text += "pending ";
    if (text.empty()) return "-";
    text.pop_back();
    return text;
}

// A reset reboots the amplifier: its link drops and the library reconnects on its own.
// The connection-state callback tells when the amplifier is back.
class RestartWatch {
public:
    explicit RestartWatch(MIVOBLE_HANDLE handle) : handle_(handle) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            lost_ = back_ = false;
        }
        Check(MIVOBLE_RegisterConnectionStateCallback(handle, &RestartWatch::OnState), "connection state");
    }
    ~RestartWatch() { MIVOBLE_RegisterConnectionStateCallback(handle_, nullptr); }
    RestartWatch(const RestartWatch&) = delete;
    RestartWatch& operator=(const RestartWatch&) = delete;

    // Waits until the link was lost and is back; throws OperationError after `limit`.
    void WaitBack(std::chrono::seconds limit) {
        WaitNotice notice("waiting for the amplifier to restart and reconnect");
        auto started = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_until(lock, started + limit, [] { return lost_ && back_; })) {
            notice.Done("not back");
            throw OperationError("the amplifier did not come back within " + std::to_string(limit.count()) +
                                 " s after the reset");
        }
        char text[32];
        std::snprintf(text, sizeof text, "back after %.1f s",
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        notice.Done(text);
    }

private:
    static void OnState(MIVOBLE_HANDLE, uint32_t state) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state == MIVOBLE_CONNECTION_LOST) lost_ = true;
            if (state == MIVOBLE_CONNECTION_CONNECTED && lost_) back_ = true;
        }
        changed_.notify_all();
    }

    MIVOBLE_HANDLE handle_;
    static inline std::mutex mutex_;
    static inline std::condition_variable changed_;
    static inline bool lost_ = false;
    static inline bool back_ = false;
};

constexpr std::chrono::seconds kRestartLimit{60};

void ResetAndWait(const Device& device) {
    RestartWatch watch(device.Handle());
    Check(MIVOBLE_ResetDevice(device.Handle()), "reset");
    std::printf("reset sent\n");
    std::fflush(stdout);
    watch.WaitBack(kRestartLimit);
}

void PrintImages(const Device& device) {
    auto images = ListImages(device);
    std::printf("slot  version           flags                     hash\n");
    for (const auto& image : images)
        std::printf("%-4u  %-16.31s  %-24s  %s\n", static_cast<unsigned>(image.slot), image.version,
                    FlagText(image.flags).c_str(), FormatHex(image.hash, sizeof image.hash, "").c_str());
}

int RunList(const FwOptions& options, Context& context) {
    Device device(options.name, context.interrupts);
    PrintImages(device);
    return 0;
}

int RunUpload(const FwOptions& options, Context& context) {
    if (options.confirm && !options.reset)
        throw UsageError("--confirm makes the new image permanent once it runs, so it needs --reset");
    McubootImage image = LoadMcubootImage(options.image);
    const bool needHash = options.test || options.confirm;
    if (needHash && !image.hash)
        throw OperationError(options.image + " has no SHA-256 entry in its trailer; it cannot be marked for test");
    std::fprintf(stderr, "image %s: version %s, %zu bytes\n", options.image.c_str(), image.version.c_str(),
                 image.bytes.size());

    Device device(options.name, context.interrupts);
    {
        std::fprintf(stderr, "uploading %zu bytes to %s (each chunk waits for the amplifier's acknowledgement)\n",
                     image.bytes.size(), options.name.c_str());
        UploadProgress progress(stderr, context.stderrIsTerminal, static_cast<uint32_t>(image.bytes.size()));
        int32_t rc = MIVOBLE_UploadImage(device.Handle(), image.bytes.data(), static_cast<uint32_t>(image.bytes.size()),
                                         0, &UploadProgress::Callback, &progress);
        progress.Finish();
        Check(rc, "upload");
    }
    std::printf("uploaded %s (version %s)\n", options.image.c_str(), image.version.c_str());
    if (needHash) {
        Check(MIVOBLE_TestImage(device.Handle(), image.hash->data()), "test image");
        std::printf("marked for a test boot: %s\n", FormatHex(image.hash->data(), 32, "").c_str());
    }
    if (options.reset) {
        ResetAndWait(device);
        if (options.confirm) {
            bool running = false;
            for (const auto& state : ListImages(device))
                running |= (state.flags & MIVOBLE_IMAGE_FLAG_ACTIVE) &&
                           std::equal(image.hash->begin(), image.hash->end(), state.hash);
            if (!running) throw OperationError("the new image is not running after the reset; it was not confirmed");
            Check(MIVOBLE_ConfirmImage(device.Handle()), "confirm image");
            std::printf("confirmed: the new image is permanent\n");
        }
        PrintImages(device);
    }
    return 0;
}

int RunTest(const FwOptions& options, Context& context) {
    auto hash = ParseHex(options.hash, "HASH");
    if (hash.size() != 32)
        throw UsageError("HASH: " + std::to_string(hash.size()) + " bytes; an image hash has 32 (64 hex digits)");
    Device device(options.name, context.interrupts);
    Check(MIVOBLE_TestImage(device.Handle(), hash.data()), "test image");
    std::printf("marked for a test boot at the next reset\n");
    return 0;
}

int RunSimple(const FwOptions& options, const std::string& which, Context& context) {
    Device device(options.name, context.interrupts);
    if (which == "confirm") {
        Check(MIVOBLE_ConfirmImage(device.Handle()), "confirm image");
        std::printf("running image confirmed\n");
    } else if (which == "erase") {
        WaitNotice notice("erasing the spare image slot");
        int32_t rc = MIVOBLE_EraseImage(device.Handle());
        notice.Done(rc == MIVOBLE_OK ? "done" : "failed");
        Check(rc, "erase image");
    } else if (which == "reset") {
        ResetAndWait(device);
    } else if (which == "echo") {
        std::vector<char> response(512);
        uint32_t size = static_cast<uint32_t>(response.size());
        Check(MIVOBLE_Echo(device.Handle(), options.text.c_str(), response.data(), &size), "echo");
        std::printf("%.*s\n", static_cast<int>(size), response.data());
    }
    return 0;
}

}  // namespace

void AddFirmware(CLI::App& app, Context& context) {
    auto options = std::make_shared<FwOptions>();
    auto* fw = app.add_subcommand("fw", "firmware images over SMP");
    fw->require_subcommand(1, 1);
    auto named = [&](const char* command, const char* help) {
        auto* sub = fw->add_subcommand(command, help);
        sub->add_option("NAME", options->name, "amplifier name")->required();
        return sub;
    };

    named("list", "list the image slots")->callback([options, &context] {
        context.action = [options, &context] { return RunList(*options, context); };
    });

    auto* upload = named("upload", "upload an MCUboot image to the spare slot");
    upload->add_option("IMAGE", options->image, "image file (MCUboot format)")->required();
    upload->add_flag("--test", options->test, "mark it for a test boot");
    upload->add_flag("--confirm", options->confirm, "after --reset, make it permanent once it runs");
    upload->add_flag("--reset", options->reset, "reset the amplifier afterwards");
    upload->callback(
        [options, &context] { context.action = [options, &context] { return RunUpload(*options, context); }; });

    auto* test = named("test", "mark an image for a test boot at the next reset");
    test->add_option("HASH", options->hash, "the image's hash (64 hex digits, see fw list)")->required();
    test->callback(
        [options, &context] { context.action = [options, &context] { return RunTest(*options, context); }; });

    for (const char* which : {"confirm", "erase", "reset"}) {
        const char* help = std::string(which) == "confirm" ? "make the running image permanent"
                           : std::string(which) == "erase" ? "erase the spare image slot"
                                                           : "reset (reboot) the amplifier";
        named(which, help)->callback([options, &context, which] {
            context.action = [options, which, &context] { return RunSimple(*options, which, context); };
        });
    }

    auto* echo = named("echo", "echo a text through the management service");
    echo->add_option("TEXT", options->text, "text to echo")->required();
    echo->callback(
        [options, &context] { context.action = [options, &context] { return RunSimple(*options, "echo", context); }; });
}

}  // namespace Mivo::Cli
