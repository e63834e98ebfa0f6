// Threads made for one piece of work and joined when it is done: nothing outlives the call
// that made them, so no thread pool survives into a forked child and nothing is shared
// between calls.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace qv::deflate {

class WorkTeam {
public:
    // Starts up to `threads` - 1 helpers beside the calling thread; fewer when the system
    // refuses more (size() tells how many took part).
    explicit WorkTeam(int threads);
    ~WorkTeam();
    WorkTeam(const WorkTeam&) = delete;
    WorkTeam& operator=(const WorkTeam&) = delete;

    int size() const { return static_cast<int>(helpers_.size()) + 1; }

    // Runs task(i) for every i in [0, count), spread over the team, and returns when all are
    // done. Tasks must not throw.
    void for_each(size_t count, const std::function<void(size_t)>& task);

private:
    void help();
    void take_tasks();

    std::vector<std::thread> helpers_;
    std::mutex mutex_;
    std::condition_variable start_;
    std::condition_variable done_;
    const std::function<void(size_t)>* task_ = nullptr;
    size_t count_ = 0;
    std::atomic<size_t> next_{0};
    uint64_t round_ = 0;  // bumped for every for_each; a helper runs each round once
    int busy_ = 0;        // helpers still in the current round
    bool stopping_ = false;
};

}  // namespace qv::deflate
