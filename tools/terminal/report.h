// Lines the terminal's parts have to say (the CA system found, a card reader gone): the program
// that uses them decides where they go (krhost's console, a pipeline's bus).
#pragma once

#include <functional>
#include <string>

namespace krtools {

using Report = std::function<void(const std::string& text)>;

}  // namespace krtools
