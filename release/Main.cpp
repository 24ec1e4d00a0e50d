#include "release/ReleaseTool.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    return RunReleaseTool(std::vector<std::string>(argv + 1, argv + argc));
}
