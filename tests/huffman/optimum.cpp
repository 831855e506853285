#include "optimum.h"

#include <algorithm>
#include <functional>
#include <limits>
#include <queue>

int64_t huffman_cost(const std::vector<int64_t> &counts)
{
    std::priority_queue<int64_t, std::vector<int64_t>, std::greater<>> heap;
    for (int64_t c : counts)
        if (c > 0)
            heap.push(c);
    int64_t cost = 0;
    while (heap.size() > 1) {
        const int64_t a = heap.top();
        heap.pop();
        const int64_t b = heap.top();
        heap.pop();
        cost += a + b;
        heap.push(a + b);
    }
    return cost;
}

int64_t limited_cost(const std::vector<int64_t> &counts, int limit)
{
    std::vector<int64_t> w;
    for (int64_t c : counts)
        if (c > 0)
            w.push_back(c);
    std::sort(w.begin(), w.end(), std::greater<>());
    const int n = static_cast<int>(w.size());
    if (n < 2)
        return 0;
    // best[i][a]: least cost of placing symbols i.. (heaviest first) when a
    // free slots are open at the current depth d. A symbol placed takes a
    // slot and costs weight x d; the slots left over split in two at d + 1.
    // Slots beyond the symbols still to place are never of use.
    constexpr int64_t none = std::numeric_limits<int64_t>::max() / 4;
    const auto at = [n](int i, int a) { return static_cast<size_t>(i) * (n + 1) + a; };
    std::vector<int64_t> deeper(static_cast<size_t>(n + 1) * (n + 1), none);
    std::vector<int64_t> here(deeper.size(), none);
    for (int d = limit; d >= 1; --d) {
        for (int i = n; i >= 0; --i) {
            for (int a = 0; a <= n - i; ++a) {
                int64_t best = none;
                if (i == n) {
                    best = 0;
                } else {
                    if (a > 0)
                        best = std::min(best, here[at(i + 1, a - 1)] + w[i] * d);
                    if (d < limit && a > 0)
                        best = std::min(best, deeper[at(i, std::min(2 * a, n - i))]);
                }
                here[at(i, a)] = best;
            }
        }
        std::swap(here, deeper);
    }
    return deeper[at(0, 2)];
}
