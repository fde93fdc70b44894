// trackora-import INPUT [-o OUTPUT] [--limit N]
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "tools/import/ImportTool.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    ImportOptions options;
    bool help = false;
    std::string error;
    if (!parseImportArguments(args, options, help, error)) {
        std::cerr << "trackora-import: " << error << " (--help lists the options)\n";
        return 2;
    }
    if (help) {
        std::cout << importUsage();
        return 0;
    }
    options.showProgress = ::isatty(STDERR_FILENO) == 1;
    return runImport(options, std::cout, std::cerr);
}
