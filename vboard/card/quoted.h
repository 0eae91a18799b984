// Inside the card model: text from a command line as it goes into a
// one-line message, quoted, control bytes escaped (identity.cpp).
#pragma once

#include <string>
#include <string_view>

namespace vboard::card {

std::string quoted(std::string_view s);

}  // namespace vboard::card
