#include "net/worker.h"

void worker_request_stop(Worker& worker) {
    WorkerRun running = WorkerRun::running;
    worker.run.compare_exchange_strong(running, WorkerRun::stopping);
}

bool worker_join(Worker& worker, std::chrono::milliseconds wait) {
    if (!worker.thread.joinable())
        return true;
    auto deadline = std::chrono::steady_clock::now() + wait;
    while (worker.run.load() != WorkerRun::ended) {
        if (std::chrono::steady_clock::now() >= deadline) {
            worker.thread.detach();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    worker.thread.join();
    return true;
}
