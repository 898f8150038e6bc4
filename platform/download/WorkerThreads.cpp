#include "platform/download/WorkerThreads.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/system/CrashSignal.h"

namespace kalvex {

namespace {

struct Worker {
    std::thread thread;
    std::atomic<bool> ended{false};
};

std::mutex g_mutex;
// Never destroyed: a process that ends without StopWorkerThreads (a test
// program, a second instance) must not meet joinable threads in a
// destructor at exit.
auto& g_workers = *new std::list<std::unique_ptr<Worker>>;
std::atomic<bool> g_stopping{false};

// Joins the threads that have ended already, so the list stays short in a
// long session. Called with the lock held.
void ReapEndedLocked() {
    for (auto it = g_workers.begin(); it != g_workers.end();) {
        if ((*it)->ended.load()) {
            (*it)->thread.join();
            it = g_workers.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace

bool StartWorkerThread(std::function<void()> body) {
    std::lock_guard lock(g_mutex);
    if (g_stopping.load()) return false;
    ReapEndedLocked();
    auto worker = std::make_unique<Worker>();
    Worker* w = worker.get();
    w->thread = std::thread([w, body = std::move(body)] {
        InstallThreadCrashStack();
        body();
        w->ended.store(true);
    });
    g_workers.push_back(std::move(worker));
    return true;
}

bool WorkerThreadsStopping() { return g_stopping.load(); }

void StopWorkerThreads() {
    std::list<std::unique_ptr<Worker>> workers;
    {
        std::lock_guard lock(g_mutex);
        g_stopping.store(true);
        workers.swap(g_workers);
    }
    // Joined without the lock: a worker's body may ask WorkerThreadsStopping.
    for (auto& w : workers) w->thread.join();
}

size_t WorkerThreadCount() {
    std::lock_guard lock(g_mutex);
    return g_workers.size();
}

void ResetWorkerThreads() {
    StopWorkerThreads();
    g_stopping.store(false);
}

}  // namespace kalvex
