#pragma once

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

// A fault of the tool's own work (a file it cannot read or write, a key it cannot use), as
// opposed to a verdict on the archive. Its text is one line for the person running the tool.
class CToolError : public std::runtime_error {
public:
    explicit CToolError(const std::string& text) : std::runtime_error(text) {}
};

// "cannot read PATH: No such file or directory". Takes errno itself, before any argument's
// construction could change it.
[[noreturn]] inline void ThrowFileError(const char* what, const std::string& path) {
    const int error = errno;
    throw CToolError(std::string(what) + " " + path + ": " + std::strerror(error));
}
