/* sizemag: the size category and magnitude bits of a signed coefficient.
 *
 * A coefficient splits into its size category, the number of bits that its
 * absolute value needs (0 for 0, 11 for 1024 to 2047), and that many
 * magnitude bits: the value itself when it is positive, its one's complement
 * within the category's bits when it is negative (-5 is category 3, bits 010).
 * An entropy coder codes the category and appends the bits raw.
 *
 * bc(num) counts the significant bits of num taken as an unsigned 16-bit
 * value, so it ends for every input; sizemag(-32768) gives category 16 and
 * magnitude bits 32767.
 *
 * sizemag_test writes the split of every value from -2048 to 2047 to the text
 * file "test_sizemag" in the current directory, one "%d\t%d\t%d\n" line each,
 * after printing a banner. It returns 1, or 0 when the file cannot be written.
 */
#ifndef DCTLAB_SIZEMAG_H
#define DCTLAB_SIZEMAG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

char bc(int16_t num);
int sizemag(int16_t number, char *bcn, int16_t *mg);
int sizemag_test(void);

#ifdef __cplusplus
}
#endif

#endif
