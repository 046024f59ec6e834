// Where the binary that holds the plug-in's code lies, as an absolute path taken when that binary
// was loaded: a host may load the plug-in by a path relative to its current directory and change
// directory later, and nothing the plug-in loads or registers may then follow the new one.
#ifndef ZENTRIX_PLATFORM_MODULEPATH_H
#define ZENTRIX_PLATFORM_MODULEPATH_H

#include <filesystem>

namespace zentrix {

// The shared library (or, for code linked into a program, the program) under the name it was
// loaded by, made absolute against the directory that was current at load time; empty when it
// could not be told. Any thread; never throws.
const std::filesystem::path& ThisModulePath();

}  // namespace zentrix

#endif
