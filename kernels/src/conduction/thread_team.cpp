#include "conduction/thread_team.hpp"

namespace tavro::conduction {
namespace {

// Below this many cell updates a loop runs on one thread.
constexpr std::size_t kParallelWork = 1 << 15;

}  // namespace

ThreadTeam::ThreadTeam(int threads) {
    for (int member = 1; member < threads; ++member) {
        try {
            workers_.emplace_back([this, member] { work(member); });
        } catch (...) {
            break;  // fewer threads than asked: the results are the same
        }
    }
}

ThreadTeam::~ThreadTeam() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    start_.notify_all();
    for (std::thread& worker : workers_) worker.join();
}

void ThreadTeam::run_part(int member) {
    const std::size_t parts = static_cast<std::size_t>(size());
    const std::size_t begin = count_ * static_cast<std::size_t>(member) / parts;
    const std::size_t end = count_ * (static_cast<std::size_t>(member) + 1) / parts;
    if (begin < end) (*body_)(begin, end);
}

void ThreadTeam::work(int member) {
    unsigned long seen = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            start_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
        }
        run_part(member);
        std::lock_guard<std::mutex> lock(mutex_);
        if (--pending_ == 0) done_.notify_one();
    }
}

void ThreadTeam::parallel_for(std::size_t count, std::size_t cost,
                              const std::function<void(std::size_t, std::size_t)>& body) {
    if (count == 0) return;
    if (workers_.empty() || count < 2 || count * cost < kParallelWork) {
        body(0, count);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        body_ = &body;
        count_ = count;
        pending_ = static_cast<int>(workers_.size());
        ++generation_;
    }
    start_.notify_all();
    run_part(0);
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return pending_ == 0; });
}

}  // namespace tavro::conduction
