// Reading a small file whole, for the files the plug-in reads in one piece.
#ifndef ZENTRIX_PLATFORM_SMALLFILE_H
#define ZENTRIX_PLATFORM_SMALLFILE_H

#include <cstdint>
#include <filesystem>
#include <string>

namespace zentrix {

enum class SmallFileStatus { Ok, Missing, Failed };

// Reads the whole file at path into bytes. Missing when the file or a directory on the way does
// not exist; Failed when it cannot be opened or read, is not a regular file, or holds more than
// maxSize bytes, even if it grew past the limit while being read. Opening never blocks on a FIFO
// or takes a terminal.
SmallFileStatus ReadSmallFile(const std::filesystem::path& path, std::uintmax_t maxSize,
                              std::string& bytes);

}  // namespace zentrix

#endif
