#pragma once
// A download server for the tests: cpp-httplib on 127.0.0.1 with answers set
// per path: plain bodies, bodies without a length (chunked), bodies that stop
// half-way, bodies that wait for the test before going on, and a redirect
// loop. Every request's target (path and query) is recorded.
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kalvex::test {

class DownloadTestServer {
public:
    enum class Kind {
        Plain,         // status and body with Content-Length
        Chunked,       // body without Content-Length
        HalfWay,       // announces the whole length, sends half, closes
        Gated,         // sends the first half, waits for Release(), sends the rest
        RedirectLoop,  // 302 to itself, for ever
    };
    struct Answer {
        int status = 200;
        std::string body;
        Kind kind = Kind::Plain;
    };

    DownloadTestServer() {
        server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // A stop() that came before the accept loop started would be lost
        // and the destructor would wait for ever.
        if (port_ > 0)
            while (!server_.is_running()) std::this_thread::yield();
    }
    ~DownloadTestServer() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        cv_.notify_all();
        server_.stop();
        thread_.join();
    }
    bool ok() const { return port_ > 0; }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }

    void Set(const std::string& path, Answer answer) {
        std::lock_guard lock(mutex_);
        answers_[path] = std::move(answer);
    }
    void Release() {
        {
            std::lock_guard lock(mutex_);
            released_ = true;
        }
        cv_.notify_all();
    }
    std::vector<std::string> Targets() {
        std::lock_guard lock(mutex_);
        return targets_;
    }
    // Waits (at most 20 s) until n requests have arrived.
    bool WaitForRequests(size_t n) {
        std::unique_lock lock(mutex_);
        return requestCv_.wait_for(lock, std::chrono::seconds(20), [&] { return targets_.size() >= n; });
    }

private:
    void Handle(const httplib::Request& req, httplib::Response& res) {
        Answer a;
        {
            std::lock_guard lock(mutex_);
            targets_.push_back(req.target);
            auto it = answers_.find(req.path);
            if (it == answers_.end()) {
                a.status = 404;
                a.body = "not found";
            } else {
                a = it->second;
            }
        }
        requestCv_.notify_all();
        res.status = a.status;
        const std::string type = "application/octet-stream";
        switch (a.kind) {
            case Kind::Plain: res.set_content(a.body, type); return;
            case Kind::RedirectLoop: res.set_redirect(req.path, 302); return;
            case Kind::Chunked:
                res.set_chunked_content_provider(type, [body = a.body](size_t offset, httplib::DataSink& sink) {
                    if (offset < body.size()) {
                        size_t n = std::min<size_t>(4096, body.size() - offset);
                        sink.write(body.data() + offset, n);
                    } else {
                        sink.done();
                    }
                    return true;
                });
                return;
            case Kind::HalfWay:
                res.set_content_provider(a.body.size(), type, [body = a.body](size_t offset, size_t, httplib::DataSink& sink) {
                    if (offset >= body.size() / 2) return false;  // drops the connection
                    sink.write(body.data() + offset, body.size() / 2 - offset);
                    return true;
                });
                return;
            case Kind::Gated:
                res.set_content_provider(a.body.size(), type, [this, body = a.body](size_t offset, size_t, httplib::DataSink& sink) {
                    size_t half = body.size() / 2;
                    if (offset < half) {
                        sink.write(body.data() + offset, half - offset);
                        return true;
                    }
                    std::unique_lock lock(mutex_);
                    while (!released_ && !stopping_) {
                        cv_.wait_for(lock, std::chrono::milliseconds(50));
                        if (!sink.is_writable()) return false;  // the client went away
                    }
                    if (stopping_) return false;
                    lock.unlock();
                    sink.write(body.data() + offset, body.size() - offset);
                    return true;
                });
                return;
        }
    }

    httplib::Server server_;
    int port_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::condition_variable requestCv_;
    std::map<std::string, Answer> answers_;
    std::vector<std::string> targets_;
    bool released_ = false;
    bool stopping_ = false;
};

}  // namespace kalvex::test
