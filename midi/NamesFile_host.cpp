#include <sys/stat.h>

#include <cstdio>

#include "midi/NamesFile.h"
#include "support/Diagnostics.h"

// The same rules as on Windows, with POSIX calls: a missing file or a folder in its
// place is an empty table; the table is written beside the old one and moved over it.
NamesFile::NamesFile(const std::string& typeName, const std::string& directory)
    : path_(directory + typeName + "Names.ini"), changed_(false) {
    struct stat info;
    if (stat(path_.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) return;
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

void NamesFile::writeBack() {
    const std::string temporary = path_ + ".new";
    try {
        TextFileWriter writer(temporary);
        for (const auto& entry : entries_) writer.writeLine(entry.first + "=" + entry.second + "\n");
        writer.close();
    } catch (const GeneralError&) {
        std::remove(temporary.c_str());
        throw GeneralError("unable to write file: " + path_);
    }
    if (std::rename(temporary.c_str(), path_.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw GeneralError("unable to write file: " + path_);
    }
}
