#include <windows.h>

#include "midi/NamesFile.h"
#include "support/Diagnostics.h"

NamesFile::NamesFile(const std::string& typeName, const std::string& directory)
    : path_(directory + typeName + "Names.ini"), changed_(false) {
    const DWORD attributes = GetFileAttributesA(path_.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
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
        DeleteFileA(temporary.c_str());
        throw GeneralError("unable to write file: " + path_);
    }
    if (!MoveFileExA(temporary.c_str(), path_.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileA(temporary.c_str());
        throw GeneralError("unable to write file: " + path_);
    }
}
