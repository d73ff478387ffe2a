// Signed and unsigned 128-bit integers: the compiler's built-in types.
#pragma once

namespace kavell {

__extension__ typedef __int128 Int128;
__extension__ typedef unsigned __int128 UInt128;

inline constexpr Int128 INT128_MIN_VALUE = static_cast<Int128>(static_cast<UInt128>(1) << 127);
inline constexpr Int128 INT128_MAX_VALUE = static_cast<Int128>((static_cast<UInt128>(1) << 127) - 1);

}  // namespace kavell
