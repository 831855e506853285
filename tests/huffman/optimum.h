// Independent references for the cost of a code, the sum of count x length
// over the symbols, computed without the library's algorithms.
#ifndef DCTLAB_TEST_HUFFMAN_OPTIMUM_H
#define DCTLAB_TEST_HUFFMAN_OPTIMUM_H

#include <cstdint>
#include <vector>

// Unrestricted Huffman cost, by repeated merging of the two lightest weights
// in a heap.
int64_t huffman_cost(const std::vector<int64_t> &counts);

// Least cost of a prefix code with no code longer than `limit` bits, by
// dynamic programming over depths (heavier symbols never get longer codes).
int64_t limited_cost(const std::vector<int64_t> &counts, int limit);

#endif
