/* The image library called from C: the header must compile as C11 and the
 * records must have the same layout on both sides. */
#include <stddef.h>

#include "imgcodec.h"

int imgcodec_c_caller(void)
{
    BMPPIX8BNA grey[4] = {{9, 9, 9}, {9, 9, 9}, {9, 9, 9}, {9, 9, 9}};
    PDRGB in = {2, 2, grey, 2};
    PDCBCR *ycc = RGBtoCBCR(&in);
    PDRGB *out = ycc ? CBCRtoRGB(ycc) : NULL;
    int ok = sizeof(BMPHEADER) == 14 && sizeof(BMPINFOHEADER) == 40 && sizeof(BMPPIX8BNA) == 3 &&
             roun(2.5) == 3 && roun(-2.5) == -3 && ycc && ycc->Ydata[3] == 9 &&
             ycc->CbData[0] == 128 && out && out->data[3].G == 9 && out->dBytes == 2;
    freeRGB(out);
    freeCBCR(ycc);
    freeRGB(NULL);
    freeCBCR(NULL);
    return ok;
}
