// The view's web server: the page and a WebSocket of live traces, on the loopback address only,
// for requests that carry the server's token (see view_access.h). It runs on one thread of its
// own; every page gets the columns it can show (trace_decimator.h) through a bounded queue, and
// what a page cannot take in time is dropped for that page alone and counted.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cli/view/view_amplifier.h"

namespace Mivo::Cli::View {

struct ServerLimits {
    size_t connections = 32;                       // open TCP connections at once; more are closed at once
    size_t pages = 8;                              // WebSocket clients at once; more get 503
    size_t queueMessages = 64;                     // messages waiting for one page
    size_t queueBytes = 8u << 20;                  // bytes waiting for one page
    size_t messageBytes = 1024;                    // longest message a page may send
    int sendBuffer = 128 * 1024;                   // kernel send buffer of a page's socket
    std::chrono::milliseconds tick{33};            // how often new columns go out
    std::chrono::seconds requestTimeout{10};       // to receive one HTTP request
    std::chrono::seconds pageTimeout{30};          // a page that answers no ping for this long is closed
    std::chrono::milliseconds closeTimeout{5000};  // a page that asked to close is cut off after this
};

class ViewServer {
public:
    // Listens on 127.0.0.1:port (0: a free port the system picks). Throws OperationError if it cannot.
    explicit ViewServer(uint16_t port, ServerLimits limits = {});
    ~ViewServer();
    ViewServer(const ViewServer&) = delete;
    ViewServer& operator=(const ViewServer&) = delete;

    uint16_t Port() const;
    // http://127.0.0.1:PORT/?token=...
    std::string Url() const;
    // Serves the amplifiers until Stop; `seconds` is the time window a page starts with.
    void Start(std::vector<ViewAmplifier*> amplifiers, double seconds);
    // Closes every connection and joins the server thread.
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace Mivo::Cli::View
