// A fork-join team for the engine's loops: the calling thread and
// threads - 1 workers, started for one solve and joined when it ends, so
// nothing outlives a native call (a process forked later inherits no
// threads). Work is split into contiguous, equal parts by index, and every
// loop's result is independent of the split: reductions go through
// per-index partial sums that are added in index order afterwards.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tavro::conduction {

class ThreadTeam {
public:
    explicit ThreadTeam(int threads);
    ~ThreadTeam();
    ThreadTeam(const ThreadTeam&) = delete;
    ThreadTeam& operator=(const ThreadTeam&) = delete;

    int size() const { return static_cast<int>(workers_.size()) + 1; }

    // Calls body(begin, end) on disjoint parts of [0, count) and returns when
    // all are done. Loops whose work (count * cost) is small run on the
    // calling thread alone: waking the team would cost more.
    void parallel_for(std::size_t count, std::size_t cost,
                      const std::function<void(std::size_t, std::size_t)>& body);

private:
    void work(int member);
    void run_part(int member);

    std::vector<std::thread> workers_;
    // Loops follow each other closely within a solve, so members first spin
    // on generation_ and pending_ for a while, and only then sleep on the
    // condition variables (which are signalled under mutex_).
    std::mutex mutex_;
    std::condition_variable start_, done_;
    const std::function<void(std::size_t, std::size_t)>* body_ = nullptr;
    std::size_t count_ = 0;
    std::atomic<unsigned long> generation_{0};
    std::atomic<int> pending_{0};
    std::atomic<bool> stopping_{false};
};

}  // namespace tavro::conduction
