// The thread of a link that opens it and keeps it (the TCP connector, the serial reader):
// started once, asked to stop from any thread, and at shutdown waited for a while or
// given up on. One given up on is inside a call that does not return (a name lookup, a
// driver); it ends with the process.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

// A stop request moves a worker from running to stopping; the thread sets ended as the
// last thing it does.
enum class WorkerRun : int32_t { running, stopping, ended };

struct Worker {
    std::thread thread;
    std::atomic<WorkerRun> run{WorkerRun::running};
};

// Runs `body` on the worker's thread, then marks it ended. A worker asked to stop before
// it starts never runs.
template <typename Body>
void worker_start(Worker& worker, Body body) {
    if (worker.run.load() != WorkerRun::running) {
        worker.run.store(WorkerRun::ended);
        return;
    }
    worker.thread = std::thread([&worker, body] {
        body();
        worker.run.store(WorkerRun::ended);
    });
}

// The monotonic time in milliseconds a worker paces its attempts by.
inline int64_t worker_now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline bool worker_running(const Worker& worker) {
    return worker.run.load() == WorkerRun::running;
}

// Marks the worker as asked to stop; the caller then wakes whatever it waits on. Any
// thread.
void worker_request_stop(Worker& worker);

// Waits up to `wait` for a worker asked to stop to end, and joins it. Returns false if it
// did not end in time; it is then left to end on its own.
bool worker_join(Worker& worker, std::chrono::milliseconds wait);
