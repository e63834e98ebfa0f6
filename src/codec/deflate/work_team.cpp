#include "codec/deflate/work_team.hpp"

#include <system_error>

namespace qv::deflate {

WorkTeam::WorkTeam(int threads)
{
    for (int i = 1; i < threads; ++i) {
        try {
            helpers_.emplace_back([this] { help(); });
        } catch (const std::system_error&) {
            break;  // the system gives no more threads: work with those there are
        }
    }
}

WorkTeam::~WorkTeam()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
}

void WorkTeam::take_tasks()
{
    for (size_t i = next_.fetch_add(1, std::memory_order_relaxed); i < count_;
         i = next_.fetch_add(1, std::memory_order_relaxed)) {
        (*task_)(i);
    }
}

void WorkTeam::help()
{
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            start_.wait(lock, [&] { return stopping_ || round_ != seen; });
            if (stopping_) return;
            seen = round_;
        }
        take_tasks();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (--busy_ == 0) done_.notify_one();
        }
    }
}

void WorkTeam::for_each(size_t count, const std::function<void(size_t)>& task)
{
    if (helpers_.empty() || count <= 1) {
        for (size_t i = 0; i < count; ++i) task(i);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        task_ = &task;
        count_ = count;
        next_.store(0, std::memory_order_relaxed);
        busy_ = static_cast<int>(helpers_.size());
        ++round_;
    }
    start_.notify_all();
    take_tasks();
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return busy_ == 0; });
}

}  // namespace qv::deflate
