#pragma once

namespace velunda::codec::detail {

// Whether the vector paths may run: one answer for the whole process.
inline const bool has_avx2 = []() noexcept {
    __builtin_cpu_init();  // this may run before the runtime's own constructors
    return __builtin_cpu_supports("avx2") != 0;
}();

}  // namespace velunda::codec::detail
