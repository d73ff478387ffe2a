// Force-included into the fuzz targets (-include). Clang before 15 has no
// __builtin_source_location, so libstdc++'s <source_location> declares
// nothing there; the fault report only needs file, line and column, which
// the older builtins give. Test-only: nothing of this reaches the module.
#pragma once

#include <source_location>

#if !defined(__cpp_lib_source_location)
#include <cstdint>

namespace std {
struct source_location {
    static constexpr source_location current(const char* file = __builtin_FILE(), std::uint_least32_t line = __builtin_LINE(),
                                             std::uint_least32_t column = __builtin_COLUMN()) noexcept {
        source_location where;
        where.file_ = file;
        where.line_ = line;
        where.column_ = column;
        return where;
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr const char* function_name() const noexcept { return ""; }
    constexpr std::uint_least32_t line() const noexcept { return line_; }
    constexpr std::uint_least32_t column() const noexcept { return column_; }

    const char* file_ = "";
    std::uint_least32_t line_ = 0;
    std::uint_least32_t column_ = 0;
};
}  // namespace std
#endif
