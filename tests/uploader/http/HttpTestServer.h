#pragma once
// Local servers for the upload tests: an HTTP server (cpp-httplib) on
// 127.0.0.1 that records every request with its raw body, and a raw TCP
// server that misbehaves on purpose (closes in the middle, never answers).
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kalvex::test {

struct ReceivedRequest {
    std::string method;
    std::string path;
    std::multimap<std::string, std::string, httplib::detail::ci> headers;
    std::string body;  // raw bytes as received
    std::string Header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

// A small HTTP/1.1 server written for the tests so that the body is seen
// exactly as it travelled: it reads the request head, then exactly
// Content-Length bytes, records them, answers and closes the connection.
class HttpTestServer {
public:
    // port 0: any free port.
    explicit HttpTestServer(int port = 0) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 16) != 0) return;
        socklen_t len = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        if (pipe(stop_) != 0) return;
        thread_ = std::thread([this] { Run(); });
    }
    ~HttpTestServer() {
        if (thread_.joinable()) {
            char c = 1;
            (void)!write(stop_[1], &c, 1);
            thread_.join();
        }
        close(listen_);
        if (stop_[0] >= 0) close(stop_[0]);
        if (stop_[1] >= 0) close(stop_[1]);
    }
    bool ok() const { return port_ > 0; }
    int port() const { return port_; }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void SetAnswer(int status, const std::string& body, bool chunked = false) {
        std::lock_guard lock(mutex_);
        status_ = status;
        reply_ = body;
        chunked_ = chunked;
    }
    std::vector<ReceivedRequest> Requests() {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    // Waits until n requests have arrived (or 60 s have passed).
    bool WaitForRequests(size_t n) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return requests_.size() >= n; });
    }

private:
    bool WaitReadable(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        return poll(p, 2, -1) > 0 && !(p[1].revents & POLLIN);
    }
    bool ReadMore(int fd, std::string* buf) {
        char tmp[65536];
        if (!WaitReadable(fd)) return false;
        ssize_t n = read(fd, tmp, sizeof tmp);
        if (n <= 0) return false;
        buf->append(tmp, static_cast<size_t>(n));
        return true;
    }
    static void WriteAll(int fd, const std::string& s) {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = send(fd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0) return;
            off += static_cast<size_t>(n);
        }
    }
    void Serve(int fd) {
        std::string buf;
        size_t headEnd;
        while ((headEnd = buf.find("\r\n\r\n")) == std::string::npos)
            if (!ReadMore(fd, &buf)) return;
        ReceivedRequest r;
        std::string head = buf.substr(0, headEnd);
        buf.erase(0, headEnd + 4);
        size_t eol = head.find("\r\n");
        std::string line = head.substr(0, eol);
        size_t sp1 = line.find(' '), sp2 = line.rfind(' ');
        r.method = line.substr(0, sp1);
        r.path = line.substr(sp1 + 1, sp2 - sp1 - 1);
        size_t pos = eol == std::string::npos ? head.size() : eol + 2;
        while (pos < head.size()) {
            size_t e = head.find("\r\n", pos);
            std::string h = head.substr(pos, e == std::string::npos ? std::string::npos : e - pos);
            pos = e == std::string::npos ? head.size() : e + 2;
            size_t colon = h.find(':');
            if (colon == std::string::npos) continue;
            size_t v = h.find_first_not_of(' ', colon + 1);
            r.headers.emplace(h.substr(0, colon), v == std::string::npos ? std::string() : h.substr(v));
        }
        size_t length = std::stoul(r.Header("Content-Length").empty() ? "0" : r.Header("Content-Length"));
        while (buf.size() < length)
            if (!ReadMore(fd, &buf)) break;
        r.body = buf;  // everything that came, even past the announced length
        int status;
        std::string reply;
        bool chunked;
        {
            std::lock_guard lock(mutex_);
            status = status_;
            reply = reply_;
            chunked = chunked_;
        }
        std::string text = status == 200 ? "OK" : status == 201 ? "Created" : status == 500 ? "Internal Server Error" : "Status";
        std::string out = "HTTP/1.1 " + std::to_string(status) + " " + text + "\r\nContent-Type: text/plain\r\n";
        if (chunked) {
            out += "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
            size_t third = reply.size() / 3 + 1;
            for (size_t off = 0; off < reply.size(); off += third) {
                size_t n = std::min(third, reply.size() - off);
                char hex[32];
                snprintf(hex, sizeof hex, "%zx;ext=1\r\n", n);
                out += hex + reply.substr(off, n) + "\r\n";
            }
            out += "0\r\nX-Trailer: t\r\n\r\n";
        } else {
            out += "Content-Length: " + std::to_string(reply.size()) + "\r\nConnection: close\r\n\r\n" + reply;
        }
        {
            std::lock_guard lock(mutex_);
            requests_.push_back(std::move(r));
        }
        cv_.notify_all();
        WriteAll(fd, out);
    }
    void Run() {
        for (;;) {
            if (!WaitReadable(listen_)) return;
            int fd = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Serve(fd);
            shutdown(fd, SHUT_WR);
            close(fd);
        }
    }

    int listen_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<ReceivedRequest> requests_;
    int status_ = 200;
    std::string reply_ = "OK";
    bool chunked_ = false;
};

// Accepts one connection on 127.0.0.1. CloseAfter(n): reads n bytes, then
// drops the connection (unread data makes it a reset). NeverAnswer: reads
// everything and answers nothing until the client goes away. Flood100:
// reads everything and sends an interim "100 Continue" answer every
// intervalMs, without end. Trickle: reads everything and sends a 200
// answer with a 100 MB body one byte every intervalMs.
class RawTcpServer {
public:
    enum class Mode { CloseAfter, NeverAnswer, Flood100, Trickle };
    RawTcpServer(Mode mode, size_t closeAfter = 0, int intervalMs = 100)
        : mode_(mode), closeAfter_(closeAfter), intervalMs_(intervalMs) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listen_, 4);
        socklen_t len = sizeof a;
        getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        pipe(stop_);
        thread_ = std::thread([this] { Run(); });
    }
    ~RawTcpServer() {
        char c = 1;
        (void)!write(stop_[1], &c, 1);
        thread_.join();
        close(listen_);
        close(stop_[0]);
        close(stop_[1]);
    }
    int port() const { return port_; }
    size_t received() const { return received_; }

private:
    bool WaitReadable(int fd) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        return poll(p, 2, -1) > 0 && !(p[1].revents & POLLIN);
    }
    // Flood100 and Trickle: reads what comes, and at every pause of
    // intervalMs sends the next piece of the answer, until the client goes.
    void Talk(int fd) {
        const std::string interim = "HTTP/1.1 100 Continue\r\n\r\n";
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100000000\r\n\r\n";
        size_t sent = 0;
        char buf[4096];
        for (;;) {
            pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            int n = poll(p, 2, intervalMs_);
            if (n < 0 || (p[1].revents & POLLIN)) return;
            if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t got = read(fd, buf, sizeof buf);
                if (got <= 0) return;
                received_ += static_cast<size_t>(got);
                continue;
            }
            std::string piece = mode_ == Mode::Flood100 ? interim : std::string(1, sent < head.size() ? head[sent] : 'x');
            if (send(fd, piece.data(), piece.size(), MSG_NOSIGNAL) <= 0) return;
            ++sent;
        }
    }
    void Run() {
        if (!WaitReadable(listen_)) return;
        int fd = accept(listen_, nullptr, nullptr);
        if (fd < 0) return;
        if (mode_ == Mode::Flood100 || mode_ == Mode::Trickle) {
            Talk(fd);
            close(fd);
            return;
        }
        char buf[4096];
        for (;;) {
            if (mode_ == Mode::CloseAfter && received_ >= closeAfter_) break;
            if (!WaitReadable(fd)) break;
            ssize_t n = read(fd, buf, mode_ == Mode::CloseAfter ? std::min(sizeof buf, closeAfter_ - received_) : sizeof buf);
            if (n <= 0) break;
            received_ += static_cast<size_t>(n);
        }
        close(fd);
    }
    Mode mode_;
    size_t closeAfter_;
    int intervalMs_;
    int listen_ = -1;
    int stop_[2] = {-1, -1};
    int port_ = 0;
    std::atomic<size_t> received_{0};
    std::thread thread_;
};

// A port on 127.0.0.1 where nothing listens.
inline int UnusedPort() {
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

}  // namespace kalvex::test
