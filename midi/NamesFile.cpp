#include "midi/NamesFile.h"

#include <cstdio>

#include "support/Diagnostics.h"

void parseNamesText(const std::string& text, NameTable& entries) {
    size_t pos = 0;
    const size_t size = text.size();
    while (pos < size) {
        size_t end = text.find('=', pos);
        if (end == std::string::npos) end = size;
        std::string key = text.substr(pos, end - pos);
        pos = end < size ? end + 1 : size;
        end = text.find('\n', pos);
        if (end == std::string::npos) end = size;
        std::string value = text.substr(pos, end - pos);
        pos = end < size ? end + 1 : size;
        entries.emplace(std::move(key), std::move(value));  // keeps an existing key
    }
}

std::string NamesFile::get(const std::string& key, const std::string& defaultPrefix) {
    const auto found = entries_.find(key);
    if (found != entries_.end()) return found->second;
    char number[16];
    std::snprintf(number, sizeof(number), " %d", static_cast<int>(entries_.size() + 1));
    const std::string name = defaultPrefix + number;
    set(key, name);
    return name;
}

void NamesFile::set(const std::string& key, const std::string& value) {
    entries_[key] = value;
    changed_ = true;
}

TextFileReader::TextFileReader(const std::string& path) : size_(0) {
    FILE* file = std::fopen(path.c_str(), "r");
    if (!file) throw GeneralError("unable to read file: " + path);
    long length = 0;
    if (std::fseek(file, 0, SEEK_END) == 0) length = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    if (length > 0) {
        buffer_.resize(static_cast<size_t>(length));
        size_ = std::fread(buffer_.data(), 1, buffer_.size(), file);
    }
    std::fclose(file);
    text_.assign(buffer_.data(), static_cast<size_t>(size_));
}

TextFileWriter::TextFileWriter(const std::string& path)
    : path_(path), file_(std::fopen(path.c_str(), "w")) {
    if (!file_) throw GeneralError("unable to write file: " + path);
}

TextFileWriter::~TextFileWriter() {
    if (file_) std::fclose(file_);
}

void TextFileWriter::writeLine(const std::string& text) {
    // Written by length, so a byte 0 read from the old file does not cut the line short.
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size() || std::fflush(file_) != 0)
        throw GeneralError("unable to write file: " + path_);
}

void TextFileWriter::close() {
    FILE* file = file_;
    file_ = nullptr;
    if (file && std::fclose(file) != 0) throw GeneralError("unable to write file: " + path_);
}

std::string lookupPortName(const std::string& directory, const std::string& typeName,
                           const std::string& deviceKey) {
    try {
        NamesFile names(typeName, directory);
        return names.get(deviceKey, typeName);
    } catch (const std::exception&) {
        return typeName;
    }
}

NamesFile::NamesFile(const std::string& typeName, const std::string& directory)
    : path_(directory + typeName + "Names.ini"), changed_(false) {
    // A missing file, or a folder in its place, is an empty table.
    if (!isRegularFile(path_)) return;
    TextFileReader reader(path_);
    parseNamesText(reader.text(), entries_);
}

NamesFile::~NamesFile() {
    if (!changed_) return;
    try {
        writeBack();
    } catch (const std::exception&) {
        // The name is still handed out; it is just not remembered.
    }
}

// The table goes to a temporary file beside the old one, which is then moved over it, so
// an interrupted write leaves the old table whole.
void NamesFile::writeBack() {
    const std::string temporary = path_ + ".new";
    try {
        TextFileWriter writer(temporary);
        for (const auto& entry : entries_) writer.writeLine(entry.first + "=" + entry.second + "\n");
        writer.close();
    } catch (const GeneralError&) {
        removeFile(temporary);
        throw GeneralError("unable to write file: " + path_);
    }
    if (!replaceFile(temporary, path_)) {
        removeFile(temporary);
        throw GeneralError("unable to write file: " + path_);
    }
}
