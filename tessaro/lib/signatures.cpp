// Compile-time check that every entry of xal_operations.def has the result
// and parameter types that xal_tessaro.h declares, so that the lists made
// from it (codec, simulator, export map, test fake) cannot drift from the
// header.
#include <type_traits>

#include "xal_tessaro.h"

#define XAL_CHECK_SIGNATURE(name, Ret, Params)                                   \
    static_assert(std::is_same<decltype(&::name), Ret(*) Params>::value,        \
                  #name ": xal_operations.def differs from xal_tessaro.h");
#define XAL_WIRE_OP(name, wire, request, roles, reply, record, Ret, Params) XAL_CHECK_SIGNATURE(name, Ret, Params)
#define XAL_LOCAL_OP(name, Ret, Params) XAL_CHECK_SIGNATURE(name, Ret, Params)
#include "xal_operations.def"
