/* roun: the rounding of the colour conversion and of quantisation. */
#include "imgcodec.h"

#include <cmath>

int16_t roun(double num)
{
    if (std::fabs(num) < 16384.0) {
        // 2·num is exact and truncates into 16 bits; trunc(2x) - trunc(x)
        // adds one step away from zero exactly when the fraction of x is at
        // least a half (2.5: 5 - 2 = 3; -2.5: -5 + 2 = -3; 0.49: 0 - 0 = 0).
        const auto twice = static_cast<int16_t>(2.0 * num);
        const auto once = static_cast<int16_t>(num);
        return static_cast<int16_t>(twice - once);
    }
    // Beyond that the same rounding, saturated to the 16-bit range, so that
    // no input reaches an undefined conversion.
    if (std::isnan(num))
        return 0;
    if (num >= INT16_MAX)
        return INT16_MAX;
    if (num <= INT16_MIN)
        return INT16_MIN;
    return static_cast<int16_t>(std::round(num));
}
