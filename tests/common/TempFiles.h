#pragma once
// A folder of its own for a test, removed with everything in it at the end.

#include <cstdint>
#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Path of a file inside the folder.
    std::string file(const std::string& name) const { return path_ + "\\" + name; }
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const;
    std::string write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

std::vector<uint8_t> readFileBytes(const std::string& path);
