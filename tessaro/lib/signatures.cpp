// Build-time checks of xal_operations.def against xal_tessaro.h and the
// library: every entry has the result and parameter types the header
// declares, and every entry is defined, so that the lists made from it
// (codec, simulator, export map, test fake) cannot drift from the header or
// name an operation the library lacks.
#include <type_traits>

#include "xal_tessaro.h"

#define XAL_CHECK_SIGNATURE(name, Ret, Params)                                   \
    static_assert(std::is_same<decltype(&::name), Ret(*) Params>::value,        \
                  #name ": xal_operations.def differs from xal_tessaro.h");
#define XAL_WIRE_OP(name, wire, request, roles, reply, record, state, Ret, Params) XAL_CHECK_SIGNATURE(name, Ret, Params)
#define XAL_LOCAL_OP(name, Ret, Params) XAL_CHECK_SIGNATURE(name, Ret, Params)
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP

// Refers to every listed operation: one without a definition leaves an
// undefined symbol, which the library's link (--no-undefined) refuses.
extern const void* const xal_listed_operations[];
const void* const xal_listed_operations[] = {
#define XAL_WIRE_OP(name, ...) reinterpret_cast<const void*>(&::name),
#define XAL_LOCAL_OP(name, ...) reinterpret_cast<const void*>(&::name),
#include "xal_operations.def"
};
