/* Packing to 4 bytes gives the i386-like layout (a 64-bit field aligned to
 * 4): the header's layout checks must refuse it. Compiled by a test that
 * expects this compile to fail. */
#pragma pack(push, 4)
#include "xal_tessaro.h"
#pragma pack(pop)
