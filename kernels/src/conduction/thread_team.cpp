#include "conduction/thread_team.hpp"

#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tavro::conduction {
namespace {

// Below this many cell updates a loop runs on one thread.
constexpr std::size_t kParallelWork = 1 << 15;
// How long a member spins before it sleeps: some tens of microseconds.
constexpr int kSpins = 4000;

void relax() {
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__)
    _mm_pause();
#else
    std::this_thread::yield();
#endif
}

// Spins until done() or kSpins rounds; whether done().
template <class Done>
bool spin(Done done) {
    for (int round = 0; round < kSpins; ++round) {
        if (done()) return true;
        relax();
    }
    return done();
}

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
        stopping_.store(true);
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
        auto started = [&] { return stopping_.load() || generation_.load(std::memory_order_acquire) != seen; };
        if (!spin(started)) {
            std::unique_lock<std::mutex> lock(mutex_);
            start_.wait(lock, started);
        }
        if (stopping_.load()) return;
        seen = generation_.load(std::memory_order_acquire);
        run_part(member);
        if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> lock(mutex_);
            done_.notify_one();
        }
    }
}

void ThreadTeam::parallel_for(std::size_t count, std::size_t cost,
                              const std::function<void(std::size_t, std::size_t)>& body) {
    if (count == 0) return;
    if (workers_.empty() || count < 2 || count * cost < kParallelWork) {
        body(0, count);
        return;
    }
    body_ = &body;
    count_ = count;
    pending_.store(static_cast<int>(workers_.size()), std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        generation_.fetch_add(1, std::memory_order_release);
    }
    start_.notify_all();
    run_part(0);
    auto finished = [&] { return pending_.load(std::memory_order_acquire) == 0; };
    if (spin(finished)) return;
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, finished);
}

}  // namespace tavro::conduction
