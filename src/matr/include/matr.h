/* matr: the 8x8 matrix arithmetic of the block transforms.
 *
 * A matriceD holds its dimensions x and y and a pointer to x*y doubles. Every
 * matrix the library deals in is 8 by 8, stored row after row: the element in
 * row r, column c (0 to 7) is ptr[8*r + c]. A caller may fill in a matriceD of
 * its own (x = y = 8, ptr at its own 64 doubles) and pass it as an operand.
 *
 * Every operation returns a new matrix, or null; no operand is changed or
 * released. A returned matrix belongs to the caller, who releases it exactly
 * once with matKillD (which releases ptr, then the record); a record the
 * caller built itself is never passed to matKillD. Both the record and the
 * element storage come from malloc/calloc.
 *
 * prepDCT gives the orthonormal DCT-II basis C, row u and column n holding
 * a(u)*cos((2n+1)*u*pi/16) with a(0) = sqrt(1/8) and a(u) = 1/2 otherwise, so
 * C*C^T = C^T*C = I up to rounding. The forward transform of a block B is
 * (C*B)*C^T, the inverse (C^T*F)*C.
 *
 * matMultD sums each element of the product in increasing k, starting from
 * 0.0: ((((0.0 + a[r][0]*b[0][c]) + a[r][1]*b[1][c]) + ...) + a[r][7]*b[7][c]),
 * every product rounded to double before it is added. The transforms'
 * results are defined by that order, bit for bit.
 *
 * Null results, with nothing printed and nothing left allocated:
 * matMakeD for any dimensions other than 8, 8; matMultD and matTranspondD of a
 * null operand, or of one that is not 8 by 8 or has no elements; an exhausted
 * allocator. matKillD(NULL) does nothing.
 *
 * matDispD prints an 8 by 8 matrix on standard output as 8 lines, one per
 * row, of 8 elements each printed with "%10.4f" and separated by one space,
 * every line ending in "\n" (87 characters a line before the newline, more
 * for elements of 100000 or more in magnitude). It prints nothing for a null
 * matrix, one that is not 8 by 8 or one without elements.
 */
#ifndef DCTLAB_MATR_H
#define DCTLAB_MATR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct matriceD {
    uint16_t x;
    uint16_t y;
    double *ptr;
} matriceD;

matriceD *prepDCT(void);
matriceD *matMakeD(int x, int y);
matriceD *matMultD(const matriceD *a, const matriceD *b);
matriceD *matTranspondD(const matriceD *m);
void matKillD(matriceD *m);
void matDispD(const matriceD *m);

#ifdef __cplusplus
}
#endif

#endif
