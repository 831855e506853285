// What a call prints on standard output, for checking the library's lines.
#ifndef DCTLAB_TEST_CAPTURE_H
#define DCTLAB_TEST_CAPTURE_H

#include <functional>
#include <string>

std::string stdout_of(const std::function<void()> &body);

#endif
