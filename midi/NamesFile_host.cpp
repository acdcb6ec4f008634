#include <sys/stat.h>

#include <cstdio>

#include "midi/NamesFile.h"

// The same file calls with POSIX: rename replaces the old file whole.
bool NamesFile::isRegularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && !S_ISDIR(info.st_mode);
}

bool NamesFile::replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

void NamesFile::removeFile(const std::string& path) { std::remove(path.c_str()); }
