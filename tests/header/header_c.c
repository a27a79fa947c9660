/* The header compiles as C, and its records have the layout that the
 * library fills in; on the 32-bit PowerPC target the header's own layout
 * checks run as part of this compile. */
#include <stdio.h>

#include "xal_tessaro.h"

int main(void) {
    XAL_NODEINFO info = {0};
    info.handle = -1;
    printf("XAL_NODEINFO %u %u\n", (unsigned)sizeof info, (unsigned)offsetof(XAL_NODEINFO, nodeid));
    return info.handle == -1 && sizeof(DWORD) == 4 ? 0 : 1;
}
