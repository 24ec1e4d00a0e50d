#pragma once

#include <string>
#include <vector>

// The release tool's whole run: the arguments after the program name in, the exit status out.
// Messages go to standard error, one line each; --help goes to standard output.
int RunReleaseTool(const std::vector<std::string>& arguments);
