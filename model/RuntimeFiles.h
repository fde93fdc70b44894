#pragma once
// Where the program's run-time files (shaders/, resources/) are found: in
// the working directory first, as when run from a checkout, then in
// ../share/trackora beside the executable, as laid out by the install.
#include <string>
#include <string_view>

// relative may use '\' as the separator ("shaders\map.vert"). Returns the
// first place that exists, or the working-directory path when none does, so
// a message about a missing file names the place a user expects.
std::string runtimeFile(std::string_view relative);

// The same search with the executable's directory given.
std::string runtimeFile(std::string_view relative, const std::string& executableDirectory);
