#include "cli/view/view_server.h"

#include <pthread.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <cstdio>
#include <deque>
#include <optional>
#include <string_view>
#include <thread>
#include <variant>

#include "cli/cli_error.h"
#include "cli/text_output.h"
#include "cli/view/trace_decimator.h"
#include "cli/view/view_access.h"
#include "cli/view/view_assets.h"
#include "cli/view/view_settings.h"

namespace Mivo::Cli::View {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

void Say(const std::string& line) {
    std::fprintf(stderr, "view: %s\n", line.c_str());
    std::fflush(stderr);
}

// A page that went away, as opposed to one that broke the protocol.
bool Disconnected(const beast::error_code& ec) {
    return ec == websocket::error::closed || ec == net::error::eof || ec == net::error::operation_aborted ||
           ec == net::error::connection_reset || ec == net::error::not_connected || ec == net::error::broken_pipe;
}

class Session {
public:
    virtual ~Session() = default;
    virtual void Close() = 0;
};

class PageSession;

// What every connection shares with the server; it outlives the server's objects, because the
// connections that hold it may be destroyed after them (when the I/O context is).
struct Shared {
    ServerLimits limits;
    AccessRules rules;
    std::string page;  // the page, with the token in its links
    std::string contentPolicy;
    std::vector<ViewAmplifier*> amplifiers;
    ViewSettings defaults;
    std::string hello;
    size_t connections = 0;
    unsigned nextPage = 1;
    std::vector<std::weak_ptr<Session>> sessions;
    std::vector<std::weak_ptr<PageSession>> pages;

    size_t OpenPages() {
        std::erase_if(pages, [](const auto& p) { return p.expired(); });
        return pages.size();
    }
    void Track(const std::shared_ptr<Session>& session) {
        std::erase_if(sessions, [](const auto& s) { return s.expired(); });
        sessions.push_back(session);
    }
};

// One counted connection; the count drops when the last session holding it goes.
class Slot {
public:
    explicit Slot(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) { ++shared_->connections; }
    ~Slot() { --shared_->connections; }
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

private:
    std::shared_ptr<Shared> shared_;
};

struct Outgoing {
    std::shared_ptr<const std::string> data;
    bool binary = false;
};

// One page's WebSocket: the settings it asked for, a decimator per amplifier, and its queue.
class PageSession : public Session, public std::enable_shared_from_this<PageSession> {
public:
    PageSession(tcp::socket socket, std::shared_ptr<Shared> shared, std::unique_ptr<Slot> slot)
        : ws_(std::move(socket)),
          closeTimer_(ws_.get_executor()),
          shared_(std::move(shared)),
          slot_(std::move(slot)),
          id_(shared_->nextPage++),
          settings_(shared_->defaults) {}

    ~PageSession() override {
        if (accepted_)
            Say("page " + std::to_string(id_) + " closed" +
                (dropped_ ? " (" + std::to_string(dropped_) + " updates dropped: it did not keep up)" : ""));
    }

    void Accept(http::request<http::empty_body> request) {
        auto& socket = beast::get_lowest_layer(ws_).socket();
        beast::error_code ignored;
        socket.set_option(net::socket_base::send_buffer_size(shared_->limits.sendBuffer), ignored);
        beast::get_lowest_layer(ws_).expires_never();
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = shared_->limits.requestTimeout;
        timeout.idle_timeout = shared_->limits.pageTimeout;
        timeout.keep_alive_pings = true;
        ws_.set_option(timeout);
        ws_.read_message_max(shared_->limits.messageBytes);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, "mivoble view"); }));
        ws_.control_callback([weak = weak_from_this()](websocket::frame_type kind, beast::string_view) {
            if (auto self = weak.lock(); self && kind == websocket::frame_type::close) self->Closing();
        });
        ws_.async_accept(request, beast::bind_front_handler(&PageSession::OnAccept, shared_from_this()));
    }

    void Close() override {
        closed_ = true;
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    // New columns and, once a second, the amplifiers' health.
    void Tick(const std::string& status) {
        if (closed_ || !accepted_) return;
        for (size_t a = 0; a < decimators_.size(); ++a) {
            std::string columns = decimators_[a].Next(shared_->amplifiers[a]->History());
            if (!columns.empty()) Send(std::move(columns), true);
        }
        if (!status.empty())
            Send("{\"type\":\"status\",\"dropped\":" + std::to_string(dropped_) + ",\"amplifiers\":" + status + "}",
                 false);
    }

private:
    // The page asked to close. Its answer waits for the write in flight, which a page that stopped
    // reading never lets finish: nothing more is queued, and the connection is cut off if the
    // closing handshake has not ended in time (the read ending frees the page sooner).
    void Closing() {
        if (closed_) return;
        closed_ = true;
        while (queue_.size() > 1) {
            queued_ -= queue_.back().data->size();
            queue_.pop_back();
        }
        closeTimer_.expires_after(shared_->limits.closeTimeout);
        closeTimer_.async_wait([weak = weak_from_this()](beast::error_code ec) {
            if (auto self = weak.lock(); self && !ec) self->Close();
        });
    }

    void OnAccept(beast::error_code ec) {
        if (ec) return;
        accepted_ = true;
        shared_->pages.push_back(shared_from_this());
        Say("page " + std::to_string(id_) + " connected");
        for (size_t a = 0; a < shared_->amplifiers.size(); ++a) {
            const auto& amplifier = *shared_->amplifiers[a];
            decimators_.emplace_back(static_cast<uint8_t>(a), amplifier.History().Channels(),
                                     amplifier.Description().rate);
            decimators_.back().Configure(settings_, amplifier.History());
        }
        Send(shared_->hello, false);
        Read();
    }

    void Read() { ws_.async_read(incoming_, beast::bind_front_handler(&PageSession::OnRead, shared_from_this())); }

    void OnRead(beast::error_code ec, size_t) {
        if (ec) {
            // A malformed frame, an oversized message, a closed page: this page ends, nothing else.
            if (!closed_ && !Disconnected(ec)) Say("page " + std::to_string(id_) + ": " + ec.message());
            closed_ = true;
            return;
        }
        if (!ws_.got_text()) {
            Send(Error("the view takes its settings as text messages"), false);
        } else {
            std::string text = beast::buffers_to_string(incoming_.data());
            auto parsed = ParseViewSettings(text, settings_);
            if (auto* settings = std::get_if<ViewSettings>(&parsed)) {
                settings_ = *settings;
                for (size_t a = 0; a < decimators_.size(); ++a)
                    decimators_[a].Configure(settings_, shared_->amplifiers[a]->History());
            } else {
                Send(Error(std::get<std::string>(parsed)), false);
            }
        }
        incoming_.consume(incoming_.size());
        Read();
    }

    static std::string Error(const std::string& message) {
        return "{\"type\":\"error\",\"message\":" + JsonString(message) + "}";
    }

    // Queues a message unless the page already has its fill waiting: then it is dropped and counted.
    void Send(std::string message, bool binary) {
        if (closed_) return;
        const auto& limits = shared_->limits;
        if (!queue_.empty() &&
            (queue_.size() >= limits.queueMessages || queued_ + message.size() > limits.queueBytes)) {
            if (dropped_++ == 0) Say("page " + std::to_string(id_) + " is not keeping up: updates to it are dropped");
            return;
        }
        queued_ += message.size();
        queue_.push_back({std::make_shared<const std::string>(std::move(message)), binary});
        if (queue_.size() == 1) Write();
    }

    void Write() {
        ws_.binary(queue_.front().binary);
        ws_.async_write(net::buffer(*queue_.front().data),
                        beast::bind_front_handler(&PageSession::OnWrite, shared_from_this()));
    }

    void OnWrite(beast::error_code ec, size_t) {
        if (ec) {
            closed_ = true;
            queue_.clear();
            return;
        }
        queued_ -= queue_.front().data->size();
        queue_.pop_front();
        if (!queue_.empty()) Write();
    }

    websocket::stream<beast::tcp_stream> ws_;
    net::steady_timer closeTimer_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Slot> slot_;
    unsigned id_;
    ViewSettings settings_;
    std::vector<TraceDecimator> decimators_;
    beast::flat_buffer incoming_;
    std::deque<Outgoing> queue_;
    size_t queued_ = 0;
    uint64_t dropped_ = 0;
    bool accepted_ = false;
    bool closed_ = false;
};

// One HTTP connection: serves the page's files and hands WebSocket upgrades to a PageSession.
class HttpSession : public Session, public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, std::shared_ptr<Shared> shared)
        : stream_(std::move(socket)), shared_(shared), slot_(std::make_unique<Slot>(shared)) {}

    void Read() {
        parser_.emplace();
        parser_->header_limit(8 * 1024);
        stream_.expires_after(shared_->limits.requestTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         beast::bind_front_handler(&HttpSession::OnRead, shared_from_this()));
    }

    void Close() override { stream_.close(); }

private:
    void OnRead(beast::error_code ec, size_t) {
        if (ec) {
            if (ec != http::error::end_of_stream && ec != beast::error::timeout && ec != net::error::operation_aborted)
                Respond(http::status::bad_request, "bad request: " + ec.message() + "\n", false);
            return;
        }
        auto& request = parser_->get();
        auto origin = request.find(http::field::origin);
        Request checked{View(request.target()), View(request[http::field::host]), std::nullopt,
                        websocket::is_upgrade(request)};
        if (origin != request.end()) checked.origin = View(origin->value());
        if (auto reason = RefusalReason(shared_->rules, checked); !reason.empty()) {
            Say("refused " + std::string(View(request.method_string())) + " " +
                std::string(TargetPath(checked.target)) + ": " + reason);
            return Respond(http::status::forbidden, "forbidden: " + reason + "\n", false);
        }
        if (request.method() != http::verb::get)
            return Respond(http::status::method_not_allowed, "the view only serves GET\n", false);
        std::string_view path = TargetPath(checked.target);
        if (checked.upgrade) {
            if (path != "/ws") return Respond(http::status::not_found, "no WebSocket here\n", false);
            if (shared_->OpenPages() >= shared_->limits.pages)
                return Respond(http::status::service_unavailable, "too many pages are open\n", false);
            auto page = std::make_shared<PageSession>(stream_.release_socket(), shared_, std::move(slot_));
            shared_->Track(page);
            page->Accept(parser_->release());
            return;
        }
        for (const auto& asset : Assets()) {
            if (asset.path != path) continue;
            std::string body = asset.path == "/" ? shared_->page : std::string(asset.body);
            return Respond(http::status::ok, std::move(body), request.keep_alive(),
                           std::string(asset.mediaType) + "; charset=utf-8");
        }
        Respond(http::status::not_found, "not found\n", request.keep_alive());
    }

    void Respond(http::status status, std::string body, bool keepAlive,
                 const std::string& contentType = "text/plain; charset=utf-8") {
        auto response = std::make_shared<http::response<http::string_body>>(status, 11);
        response->set(http::field::server, "mivoble view");
        response->set(http::field::content_type, beast::string_view(contentType.data(), contentType.size()));
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        response->set("Referrer-Policy", "no-referrer");
        response->set("Content-Security-Policy", shared_->contentPolicy);
        response->keep_alive(keepAlive);
        response->body() = std::move(body);
        response->prepare_payload();
        http::async_write(stream_, *response, [self = shared_from_this(), response](beast::error_code ec, size_t) {
            if (ec || !response->keep_alive()) {
                beast::error_code ignored;
                self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                return;
            }
            self->Read();
        });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::shared_ptr<Shared> shared_;
    std::unique_ptr<Slot> slot_;
};

std::string WithToken(std::string_view page, const std::string& token) {
    std::string out;
    constexpr std::string_view mark = "@TOKEN@";
    size_t at = 0;
    for (size_t found; (found = page.find(mark, at)) != std::string_view::npos; at = found + mark.size())
        (out += page.substr(at, found - at)) += token;
    return out += page.substr(at);
}

}  // namespace

struct ViewServer::Impl {
    net::io_context io{1};
    tcp::acceptor acceptor{io};
    net::steady_timer timer{io};
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::chrono::steady_clock::time_point lastStatus;
    std::thread thread;

    void Accept() {
        acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
            if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
            if (!ec) {
                if (shared->connections >= shared->limits.connections) {
                    beast::error_code ignored;
                    socket.close(ignored);  // refused: too many connections at once
                } else {
                    auto session = std::make_shared<HttpSession>(std::move(socket), shared);
                    shared->Track(session);
                    session->Read();
                }
            }
            Accept();
        });
    }

    // New rows to every page; the health once a second, and at once when a link changes.
    void Tick() {
        bool linkChanged = false;
        for (auto* amplifier : shared->amplifiers) linkChanged = amplifier->Pull() || linkChanged;
        auto now = std::chrono::steady_clock::now();
        const bool measure = now - lastStatus >= std::chrono::seconds(1);
        std::string status;
        if (measure || linkChanged) {
            if (measure) lastStatus = now;
            status = "[";
            for (size_t a = 0; a < shared->amplifiers.size(); ++a)
                status += (a ? "," : "") + shared->amplifiers[a]->StatusJson(now, measure);
            status += "]";
        }
        shared->OpenPages();
        for (auto& weak : shared->pages)
            if (auto page = weak.lock()) page->Tick(status);
        timer.expires_after(shared->limits.tick);
        timer.async_wait([this](beast::error_code ec) {
            if (!ec) Tick();
        });
    }

    void CloseAll() {
        beast::error_code ignored;
        acceptor.close(ignored);
        timer.cancel();
        for (auto& weak : shared->sessions)
            if (auto session = weak.lock()) session->Close();
    }
};

ViewServer::ViewServer(uint16_t port, ServerLimits limits) : impl_(std::make_unique<Impl>()) {
    impl_->shared->limits = limits;
    auto& acceptor = impl_->acceptor;
    beast::error_code ec;
    tcp::endpoint endpoint(net::ip::make_address_v4("127.0.0.1"), port);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec == net::error::address_in_use)
        throw OperationError("view: port " + std::to_string(port) +
                             " of 127.0.0.1 is in use (choose another with --port, or leave it out for a free one)");
    if (ec == net::error::access_denied)
        throw OperationError("view: not allowed to listen on port " + std::to_string(port) + " (" + ec.message() + ")");
    if (ec) throw OperationError("view: cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + ec.message());
    auto& shared = *impl_->shared;
    shared.rules.token = NewToken();
    shared.rules.port = acceptor.local_endpoint().port();
}

ViewServer::~ViewServer() { Stop(); }

uint16_t ViewServer::Port() const { return impl_->shared->rules.port; }

std::string ViewServer::Url() const {
    return "http://127.0.0.1:" + std::to_string(Port()) + "/?token=" + impl_->shared->rules.token;
}

void ViewServer::Start(std::vector<ViewAmplifier*> amplifiers, double seconds) {
    auto& shared = *impl_->shared;
    shared.amplifiers = std::move(amplifiers);
    shared.defaults.seconds = seconds;
    const std::string port = std::to_string(Port());
    for (const auto& asset : Assets())
        if (asset.path == "/") shared.page = WithToken(asset.body, shared.rules.token);
    shared.contentPolicy =
        "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
        "connect-src ws://127.0.0.1:" +
        port + " ws://localhost:" + port + "; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";
    char number[32];
    std::snprintf(number, sizeof number, "%g", seconds);
    shared.hello = std::string("{\"type\":\"hello\",\"seconds\":") + number + ",\"amplifiers\":[";
    for (size_t a = 0; a < shared.amplifiers.size(); ++a)
        shared.hello += (a ? "," : "") + shared.amplifiers[a]->DescriptionJson();
    shared.hello += "]}";

    impl_->lastStatus = std::chrono::steady_clock::now();
    impl_->Accept();
    impl_->Tick();
    impl_->thread = std::thread([impl = impl_.get()] {
        pthread_setname_np(pthread_self(), "view-server");
        for (;;) {
            try {
                impl->io.run();
                return;
            } catch (const std::exception& e) {
                Say(std::string("server error: ") + e.what());
            }
        }
    });
}

void ViewServer::Stop() {
    if (!impl_->thread.joinable()) return;
    net::post(impl_->io, [impl = impl_.get()] {
        impl->CloseAll();
        // Timers inside the WebSocket streams may still be pending: they are not waited for.
        impl->io.stop();
    });
    impl_->thread.join();
}

}  // namespace Mivo::Cli::View
