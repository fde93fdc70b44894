#include "app/OutputName.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace analysis {

std::string defaultOutputName(const std::string& prefix, const std::string& extension, std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d-%H%M%S", &local);
    return prefix + "-" + stamp + extension;
}

}  // namespace analysis
