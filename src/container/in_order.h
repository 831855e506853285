// Jobs on a few worker threads, finished in the order they were given: the
// container's blocks are coded and checked in parallel and written out in
// sequence, so the output is the same for any number of threads.
#ifndef DCTLAB_CONTAINER_IN_ORDER_H
#define DCTLAB_CONTAINER_IN_ORDER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace dctlab::container
{

template <typename Result> class InOrder
{
  public:
    // `threads` workers, at most `in_flight` jobs given and not yet
    // finished; `finish` takes each result in order and says whether to go
    // on. The workers start with the first job.
    InOrder(unsigned threads, unsigned in_flight, std::function<bool(Result &)> finish)
        : threads_(threads < 1 ? 1 : threads), in_flight_(in_flight < 1 ? 1 : in_flight),
          finish_(std::move(finish))
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
        if (workers_.empty())
            for (unsigned i = 0; i < threads_; ++i)
                workers_.emplace_back([this] { work(); });
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
    bool finish_oldest()
    {
        Result r = given_.front().get();
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

    unsigned threads_, in_flight_;
    std::function<bool(Result &)> finish_;
    std::deque<std::future<Result>> given_;
    std::vector<std::thread> workers_;
    std::mutex lock_;
    std::condition_variable wake_;
    std::deque<std::packaged_task<Result()>> waiting_;
    bool stop_ = false;
};

} // namespace dctlab::container

#endif
