/* The header compiles as C; on the 32-bit PowerPC target its layout checks
 * run as part of this compile. */
#include "xal_tessaro.h"

int main(void) {
    return 0;
}
