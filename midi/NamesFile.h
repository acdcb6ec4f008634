#pragma once
// Display names of hidden ports, remembered per device type in a file of key=value lines
// so that a device keeps its number from one run to the next. A NamesFile lives for one
// lookup: it reads the file, and writes it back on destruction if an entry was added.

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

using NameTable = std::map<std::string, std::string>;

// key=value lines; the first occurrence of a key wins, nothing is trimmed.
void parseNamesText(const std::string& text, NameTable& entries);

class NamesFile {
public:
    NamesFile(const std::string& typeName, const std::string& directory);
    ~NamesFile();
    NamesFile(const NamesFile&) = delete;
    NamesFile& operator=(const NamesFile&) = delete;

    // The display name of key, made from defaultPrefix and a new number when key is new.
    std::string get(const std::string& key, const std::string& defaultPrefix);
    void set(const std::string& key, const std::string& value);

    const std::string& path() const { return path_; }

private:
    void writeBack();
    // The file calls, one set for each platform.
    static bool isRegularFile(const std::string& path);
    static bool replaceFile(const std::string& from, const std::string& to);
    static void removeFile(const std::string& path);

    NameTable entries_;
    std::string path_;
    bool changed_;
};

// Reads a whole file in text mode; throws GeneralError "unable to read file: <path>".
class TextFileReader {
public:
    explicit TextFileReader(const std::string& path);
    uint64_t size() const { return size_; }
    const std::string& text() const { return text_; }

private:
    uint64_t size_;
    std::vector<char> buffer_;
    std::string text_;
};

// One text-mode stream open for writing; throws GeneralError "unable to write file: <path>".
class TextFileWriter {
public:
    explicit TextFileWriter(const std::string& path);
    ~TextFileWriter();
    TextFileWriter(const TextFileWriter&) = delete;
    TextFileWriter& operator=(const TextFileWriter&) = delete;

    // Throws GeneralError when the text cannot be written completely.
    void writeLine(const std::string& text);
    // Closes the stream; throws GeneralError when the data could not be written out.
    void close();

private:
    std::string path_;
    FILE* file_;
};

// The display name of a hidden port; the type name itself when the names file fails.
std::string lookupPortName(const std::string& directory, const std::string& typeName,
                           const std::string& deviceKey);
