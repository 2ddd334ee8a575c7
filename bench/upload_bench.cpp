// Firmware upload throughput on the simulated radio, through the C interface.
//
// Uploads one image to virtual amplifiers that differ in connection interval and in whether
// their SMP server answers the MCUmgr parameters command, and prints KB/s (1 KB = 1000 bytes)
// and connection intervals per chunk. Options: --size BYTES (default 262144),
// --intervals 7.5,15,30 (ms), --log PATH (library log file, default /dev/null), --plain (one
// row of amplifiers with the simulator's defaults only).
#include <openssl/evp.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mivoble/mivoble.h"

namespace {

struct Row {
    std::string label;
    std::string keys;  // extra MIVOBLE_SIM keys of the amplifier
};

void PutLe(std::vector<uint8_t>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A boot-loader image of exactly `size` bytes: 32-byte header, body, TLV area with its hash.
std::vector<uint8_t> BuildImage(size_t size) {
    const size_t tlv = 4 + 4 + 32;
    const size_t body = size > 32 + tlv ? size - 32 - tlv : 64;
    std::vector<uint8_t> out;
    PutLe(out, 0x96f3b83d, 4);
    PutLe(out, 0, 4);
    PutLe(out, 32, 2);
    PutLe(out, 0, 2);
    PutLe(out, body, 4);
    PutLe(out, 0, 4);
    out.insert(out.end(), {2, 0});
    PutLe(out, 0, 2);
    PutLe(out, 0, 4);
    PutLe(out, 0, 4);
    uint32_t x = 0x12345678u;
    for (size_t i = 0; i < body; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        out.push_back(static_cast<uint8_t>(x));
    }
    unsigned char hash[32];
    unsigned int length = 0;
    EVP_Digest(out.data(), out.size(), hash, &length, EVP_sha256(), nullptr);
    PutLe(out, 0x6907, 2);
    PutLe(out, tlv, 2);
    PutLe(out, 0x10, 2);
    PutLe(out, 32, 2);
    out.insert(out.end(), hash, hash + 32);
    return out;
}

struct Progress {
    uint32_t calls = 0;
    uint32_t last = 0;
    bool backwards = false;
    static void Record(MIVOBLE_HANDLE, uint32_t offset, uint32_t, void* self) {
        auto* p = static_cast<Progress*>(self);
        if (offset < p->last) p->backwards = true;
        p->last = offset;
        ++p->calls;
    }
};

std::vector<double> ParseIntervals(const char* text) {
    std::vector<double> out;
    std::string s(text);
    size_t start = 0;
    while (start <= s.size()) {
        const size_t comma = s.find(',', start);
        out.push_back(std::atof(s.substr(start, comma - start).c_str()));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    size_t size = 256 * 1024;
    std::vector<double> intervals = {7.5, 15, 30};
    std::string log = "/dev/null";
    std::vector<Row> rows = {{"no parameters command", "smp_params=0"}, {"buf_count 4", "smp_buf_count=4"}};
    for (int i = 1; i < argc; ++i) {
        // --plain: one row of amplifiers with the simulator's defaults only.
        if (std::strcmp(argv[i], "--plain") == 0) rows = {{"simulator defaults", ""}};
    }
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--plain") == 0) --i;
        if (std::strcmp(argv[i], "--size") == 0) size = std::strtoul(argv[i + 1], nullptr, 10);
        else if (std::strcmp(argv[i], "--intervals") == 0) intervals = ParseIntervals(argv[i + 1]);
        else if (std::strcmp(argv[i], "--log") == 0) log = argv[i + 1];
    }

    // One amplifier per row and interval; an amplifier whose keys this simulator does not
    // know is left out by it, and its row reads n/a.
    std::string sim;
    std::vector<std::string> names;
    int index = 0;
    for (const auto& row : rows) {
        for (double interval : intervals) {
            char name[32];
            std::snprintf(name, sizeof name, "MV-2401.00.%02d", 10 + index++);
            names.push_back(name);
            char item[256];
            std::snprintf(item, sizeof item, "%s%s,gen=nus,slot_size=%zu,interval=%g%s%s", sim.empty() ? "" : ";", name,
                          size + 4096, interval, row.keys.empty() ? "" : ",", row.keys.c_str());
            sim += item;
        }
    }
    setenv("MIVOBLE_BACKEND", "sim", 1);
    setenv("MIVOBLE_SIM", sim.c_str(), 1);
    MIVOBLE_SetLogFile(log.c_str());

    const auto image = BuildImage(size);
    std::printf("upload of %zu bytes on the simulated link\n", image.size());
    std::printf("%-24s %12s %10s %8s %18s\n", "device", "interval ms", "KB/s", "chunks", "intervals/chunk");
    index = 0;
    for (const auto& row : rows) {
        for (double interval : intervals) {
            const std::string& name = names[index++];
            MIVOBLE_HANDLE handle = 0;
            if (MIVOBLE_OpenDevice(name.c_str(), &handle) != MIVOBLE_OK) {
                std::printf("%-24s %12g %10s %8s %18s\n", row.label.c_str(), interval, "n/a", "", "");
                continue;
            }
            Progress progress;
            const auto start = std::chrono::steady_clock::now();
            const int32_t rc = MIVOBLE_UploadImage(handle, image.data(), static_cast<uint32_t>(image.size()), 0,
                                                   &Progress::Record, &progress);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (rc != MIVOBLE_OK) {
                std::printf("%-24s %12g failed: %s\n", row.label.c_str(), interval, MIVOBLE_GetLastErrorText());
            } else {
                const double perChunk = seconds * 1000.0 / interval / progress.calls;
                std::printf("%-24s %12g %10.2f %8u %18.2f%s\n", row.label.c_str(), interval,
                            static_cast<double>(image.size()) / 1000.0 / seconds, progress.calls, perChunk,
                            progress.backwards ? "  (progress went backwards)" : "");
            }
            std::fflush(stdout);
            MIVOBLE_CloseDevice(&handle);
        }
    }
    MIVOBLE_Shutdown();
    return 0;
}
