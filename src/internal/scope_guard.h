/* Releases what a constructor has taken when it returns early. The success
 * path calls dismiss() and hands the record to the caller. */
#ifndef DCTLAB_INTERNAL_SCOPE_GUARD_H
#define DCTLAB_INTERNAL_SCOPE_GUARD_H

#include <utility>

namespace dctlab
{

template <typename F> class ScopeGuard
{
  public:
    explicit ScopeGuard(F release) : release_(std::move(release)) {}
    ScopeGuard(const ScopeGuard &) = delete;
    ScopeGuard &operator=(const ScopeGuard &) = delete;
    ~ScopeGuard()
    {
        if (armed_)
            release_();
    }
    void dismiss() { armed_ = false; }

  private:
    F release_;
    bool armed_ = true;
};

template <typename F> ScopeGuard<F> on_failure(F release)
{
    return ScopeGuard<F>(std::move(release));
}

} // namespace dctlab

#endif
