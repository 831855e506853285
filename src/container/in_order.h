// Jobs on a few threads, finished in the order they were given: the
// container's blocks are coded and checked in parallel and written out in
// sequence, so the output is the same for any number of threads.
//
// The thread that gives the jobs is one of the `threads` itself, taking
// waiting jobs while the oldest is not done. A worker for each core and
// that thread besides made three threads on two cores, and the scheduler
// left both workers on one core for milliseconds at a time while the other
// idled: pack's cores were busy 1.5 to 1.7 of the time, and 1.85 to 1.9
// with this thread working.
//
// Where the threads are as many as the cores the giving thread may run on,
// each is kept on a core of its own (the giving thread given back its cores
// at the end). Left to the scheduler, a thread woken by another was often
// put on the waker's core and left there for milliseconds while the other
// core idled (in a virtual machine, whose idle cores the kernel took for
// busy): pack with two threads on 64 MiB ran 1.66 to 1.83 times as fast as
// one thread in four comparisons of 15 runs in turn, and 1.80 to 1.88 with
// its threads kept apart. Unpack's giving thread, which parses the headers
// and hands over batches, had only waited for the workers, as taking a
// batch kept it from parsing the next and unpack was 3% slower; with the
// threads kept apart, taking batches made unpack 2 to 3% faster (two
// comparisons of 31 runs in turn, text and programs).
#ifndef DCTLAB_CONTAINER_IN_ORDER_H
#define DCTLAB_CONTAINER_IN_ORDER_H

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

namespace dctlab::container
{

template <typename Result> class InOrder
{
  public:
    // `threads` threads in all, this one among them, at most `in_flight`
    // jobs given and not yet finished; `finish` takes each result in order
    // and says whether to go on. The workers start with the first job.
    InOrder(unsigned threads, unsigned in_flight, std::function<bool(Result &)> finish)
        : workers_count_(std::max(threads, 1u) - 1), in_flight_(in_flight < 1 ? 1 : in_flight),
          finish_(std::move(finish)), cores_(cores_for(workers_count_ + 1))
    {
    }
    // Lets the running jobs end and drops the waiting ones, so that no job
    // outlives what it uses.
    ~InOrder()
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            stop_ = true;
        }
        wake_.notify_all();
        for (std::thread &t : workers_)
            t.join();
#if defined(__linux__)
        if (giver_kept_)
            pthread_setaffinity_np(pthread_self(), sizeof giver_cores_, &giver_cores_);
#endif
    }
    InOrder(const InOrder &) = delete;
    InOrder &operator=(const InOrder &) = delete;

    // Gives `job` to the workers, first finishing the oldest when
    // `in_flight` are given. False when a finish said stop (the job is then
    // not given).
    bool add(std::function<Result()> job)
    {
        if (given_.size() >= in_flight_ && !finish_oldest())
            return false;
        if (workers_.empty() && workers_count_ > 0) {
            for (size_t i = 0; i < workers_count_; ++i)
                workers_.emplace_back([this, core = i + 1] {
                    keep_on(core);
                    work();
                });
#if defined(__linux__)
            if (!cores_.empty() &&
                pthread_getaffinity_np(pthread_self(), sizeof giver_cores_, &giver_cores_) == 0) {
                giver_kept_ = true;
                keep_on(0);
            }
#endif
        }
        std::packaged_task<Result()> task(std::move(job));
        given_.push_back(task.get_future());
        {
            std::lock_guard<std::mutex> hold(lock_);
            waiting_.push_back(std::move(task));
        }
        wake_.notify_one();
        return true;
    }
    // Finishes every job given; false when a finish said stop.
    bool drain()
    {
        while (!given_.empty())
            if (!finish_oldest())
                return false;
        return true;
    }

  private:
    // The cores this thread may run on, one for each of `threads`, where
    // they are as many; else none.
    static std::vector<int> cores_for(unsigned threads)
    {
        std::vector<int> cores;
#if defined(__linux__)
        cpu_set_t allowed;
        if (threads < 2 || sched_getaffinity(0, sizeof allowed, &allowed) != 0 ||
            CPU_COUNT(&allowed) != static_cast<int>(threads))
            return cores;
        for (int c = 0; c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &allowed))
                cores.push_back(c);
#endif
        return cores;
    }
    // Keeps the calling thread on the core of that number, if any.
    void keep_on(size_t index) const
    {
#if defined(__linux__)
        if (index >= cores_.size())
            return;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cores_[index], &one);
        pthread_setaffinity_np(pthread_self(), sizeof one, &one);
#else
        (void)index;
#endif
    }

    bool finish_oldest()
    {
        std::future<Result> &oldest = given_.front();
        while (oldest.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            std::packaged_task<Result()> task;
            {
                std::lock_guard<std::mutex> hold(lock_);
                if (waiting_.empty())
                    break; // the oldest runs on a worker: wait for it below
                task = std::move(waiting_.front());
                waiting_.pop_front();
            }
            task();
        }
        Result r = oldest.get();
        given_.pop_front();
        return finish_(r);
    }
    void work()
    {
        for (;;) {
            std::packaged_task<Result()> task;
            {
                std::unique_lock<std::mutex> hold(lock_);
                wake_.wait(hold, [this] { return stop_ || !waiting_.empty(); });
                if (stop_)
                    return;
                task = std::move(waiting_.front());
                waiting_.pop_front();
            }
            task();
        }
    }

    unsigned workers_count_;
    unsigned in_flight_;
    std::function<bool(Result &)> finish_;
    std::deque<std::future<Result>> given_;
    std::vector<std::thread> workers_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<Result()>> waiting_;
    bool stop_ = false;
    std::vector<int> cores_;
#if defined(__linux__)
    cpu_set_t giver_cores_; // what the giving thread had, while kept on a core
#endif
    bool giver_kept_ = false;
};

} // namespace dctlab::container

#endif
