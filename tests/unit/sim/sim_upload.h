#pragma once
// Building image upload requests the way a client does, for the SMP server tests.
#include <algorithm>
#include <cstddef>

#include "platform/sim/sim_wire.h"

namespace SimTest {

using Mivo::BLE::Platform::Bytes;

// The CBOR body of one image upload request as a client sends it: a 156-byte first chunk with
// "len" and "sha", 216-byte chunks after it. `*chunk` receives the number of image bytes sent.
inline Bytes UploadRequestBody(const Bytes& image, size_t off, const Bytes& sha, size_t* chunk) {
    const size_t n = std::min<size_t>(image.size() - off, off == 0 ? 156 : 216);
    Mivo::BLE::Sim::Wire::CborWriter w;
    w.Map(off == 0 ? 4 : 2);
    w.Text("data");
    w.ByteString(Bytes(image.begin() + off, image.begin() + off + n));
    if (off == 0) {
        w.Text("len");
        w.Uint(image.size());
    }
    w.Text("off");
    w.Uint(off);
    if (off == 0) {
        w.Text("sha");
        w.ByteString(sha);
    }
    if (chunk) *chunk = n;
    return w.Data();
}

}  // namespace SimTest
