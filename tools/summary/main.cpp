// trackora-summary build|merge|info ...
#include <iostream>
#include <string>
#include <vector>

#include "tools/summary/SummaryTool.h"

int main(int argc, char** argv) {
    return runSummaryTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
