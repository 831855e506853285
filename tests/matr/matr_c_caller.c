/* A C caller of the matrix library: the header must stand on its own in C11,
 * and the functions must be reachable without C++ name mangling. */
#include "matr.h"

#include <stddef.h>

double matr_c_orthonormality_error(void);

/* The largest deviation of C*C^T from the identity, or -1 on a null result. */
double matr_c_orthonormality_error(void)
{
    matriceD *c = prepDCT();
    matriceD *ct = matTranspondD(c);
    matriceD *p = matMultD(c, ct);
    double worst = -1.0;
    int i;

    if (p != NULL) {
        worst = 0.0;
        for (i = 0; i < 64; ++i) {
            double d = p->ptr[i] - (i % 9 == 0 ? 1.0 : 0.0);
            if (d < 0)
                d = -d;
            if (d > worst)
                worst = d;
        }
    }
    matKillD(p);
    matKillD(ct);
    matKillD(c);
    return worst;
}
