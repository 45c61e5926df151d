// Reading a whole file, with the system's reason when it cannot be read.
#pragma once

#include <string>

namespace zuvhost {

// Reads the file at `path` into `bytes`; answers "" or why it could not ("Is a directory",
// "Permission denied"...).
std::string readWholeFile(const std::string& path, std::string& bytes);

}  // namespace zuvhost
