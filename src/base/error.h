#pragma once

#include <stdexcept>
#include <string>

namespace base {

// Every failure the program reports carries its message text, code page 1251 bytes.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace base
