#pragma once

#include <span>

#include "layout.hpp"

namespace velunda::samples {

std::span<const Layout> layouts();

}  // namespace velunda::samples
