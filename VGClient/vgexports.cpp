// Holds every row of the export table against the export's declaration: the
// argument count is part of a standard-call export's name, and on 32-bit
// Windows every argument must take whole 32-bit slots (a narrower number, a
// BYTE or WORD value, is widened to one).
#include <cstddef>
#include <type_traits>

#include "VGClient/VAVarive32.h"

namespace {

// 32-bit argument slots of one parameter: a record passed by value (the
// 16-byte session id) takes sizeof / 4, anything else one.
template <typename A>
constexpr size_t Slots() {
    return std::is_class<A>::value ? (sizeof(A) + 3) / 4 : 1;
}

template <typename R, typename... A>
constexpr size_t ArgCount(R(VGAPI*)(A...)) {
    return (size_t{0} + ... + Slots<A>());
}

template <typename R, typename... A>
constexpr bool SlotsOf32Bits(R(VGAPI*)(A...)) {
    return (sizeof(R) == 4) && (true && ... && (std::is_class<A>::value ? sizeof(A) % 4 == 0 : sizeof(A) <= 4));
}

#if defined(_WIN32) && !defined(_WIN64)
#define VG_SLOTS_CHECK(name) static_assert(SlotsOf32Bits(&name), #name " takes a wider argument");
#else
#define VG_SLOTS_CHECK(name)
#endif

#define VG_EXPORT(name, count)                                      \
    static_assert(ArgCount(&name) == (count), #name " argument count"); \
    VG_SLOTS_CHECK(name)
#define VG_EXPORT_ALIAS(name, count, routine) \
    VG_EXPORT(name, count)                    \
    static_assert(ArgCount(&routine) == (count), #name " takes the arguments of " #routine);
#include "VGClient/vgexports.inc"
#undef VG_EXPORT_ALIAS
#undef VG_EXPORT

}  // namespace
