#include "model/LoadError.h"

#include <cstring>

std::string systemReason(int errnoValue) { return std::strerror(errnoValue); }

std::string loadFailureMessage(const std::string& path, const std::exception& error) {
    const std::string what = error.what();
    // The loaders' own messages start with the quoted path already.
    if (what.rfind("\"" + path + "\"", 0) == 0) return "Could not load samples from " + what;
    return "Could not load samples from \"" + path + "\": " + what;
}
