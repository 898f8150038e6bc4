#pragma once
// Threads that whoever starts them does not wait for: the downloads and the
// update check. A window that starts one may close long before it ends, so
// they are kept here instead of being detached, and the program's exit stops
// them and waits for them before it tears down what they use (the program
// log above all).
#include <cstddef>
#include <functional>

namespace kalvex {

// Runs body on a thread of its own. Once StopWorkerThreads has begun, the
// body is not run any more and false is returned.
bool StartWorkerThread(std::function<void()> body);

// True once StopWorkerThreads has begun: a download asks this in every
// progress report and ends early.
bool WorkerThreadsStopping();

// Asks every worker thread to stop and waits until each has ended. Called at
// exit, before the program log closes.
void StopWorkerThreads();

// Worker threads started and not yet waited for (running or just ended).
size_t WorkerThreadCount();

// For tests: lets worker threads start again after StopWorkerThreads.
void ResetWorkerThreads();

}  // namespace kalvex
