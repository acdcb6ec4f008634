// carrowick-inspect --ports against the simulated WinMM: the outputs in the order the
// updater's search sees them, the instrument's marked, and the one the search would choose,
// read back from its JSON by a small parser of our own.

#include <windows.h>

#include <cstring>
#include <map>
#include <memory>
#include <stdexcept>

#include "inspector/PortList.h"
#include "midi/VeltroDeviceList.h"
#include "tests/e2e/InstrumentTest.h"

namespace {

// Just enough JSON for the report: objects, arrays, strings with escapes, numbers, literals.
struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;
    const Json& operator[](const std::string& key) const {
        auto found = members.find(key);
        if (kind != Object || found == members.end()) throw std::runtime_error("no member " + key);
        return found->second;
    }
};

class JsonParser {
public:
    explicit JsonParser(const std::string& text) : text_(text) {}
    Json parseAll() {
        Json value = parse();
        skipBlanks();
        if (at_ != text_.size()) fail("text after the value");
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + " at " + std::to_string(at_)); }
    void skipBlanks() {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_])) ++at_;
    }
    bool take(char c) {
        skipBlanks();
        if (at_ < text_.size() && text_[at_] == c) return ++at_, true;
        return false;
    }
    void expect(char c) {
        if (!take(c)) fail(std::string("expected ") + c);
    }
    std::string string() {
        expect('"');
        std::string out;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (static_cast<unsigned char>(c) < 0x20) fail("control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (at_ >= text_.size()) fail("cut escape");
            c = text_[at_++];
            if (c == 'u') {
                if (at_ + 4 > text_.size()) fail("cut \\u");
                out += static_cast<char>(std::stoul(text_.substr(at_, 4), nullptr, 16));
                at_ += 4;
            } else if (c == 'n') {
                out += '\n';
            } else if (c == '"' || c == '\\' || c == '/') {
                out += c;
            } else {
                fail("unknown escape");
            }
        }
        expect('"');
        return out;
    }
    Json parse() {
        skipBlanks();
        Json value;
        if (at_ >= text_.size()) fail("no value");
        const char c = text_[at_];
        if (c == '{') {
            value.kind = Json::Object;
            ++at_;
            if (take('}')) return value;
            do {
                std::string key = string();
                expect(':');
                value.members[key] = parse();
            } while (take(','));
            expect('}');
        } else if (c == '[') {
            value.kind = Json::Array;
            ++at_;
            if (take(']')) return value;
            do value.items.push_back(parse());
            while (take(','));
            expect(']');
        } else if (c == '"') {
            value.kind = Json::String;
            value.text = string();
        } else if (text_.compare(at_, 4, "true") == 0 || text_.compare(at_, 5, "false") == 0) {
            value.kind = Json::Bool;
            value.boolean = text_[at_] == 't';
            at_ += value.boolean ? 4 : 5;
        } else if (text_.compare(at_, 4, "null") == 0) {
            at_ += 4;
        } else {
            size_t used = 0;
            value.kind = Json::Number;
            value.number = std::stod(text_.substr(at_), &used);
            at_ += used;
        }
        return value;
    }

    const std::string& text_;
    size_t at_ = 0;
};

// Runs the inspector with its standard output captured; the exit code through exitCode.
std::string runInspector(const std::string& arguments, const std::vector<std::string>& environment, DWORD& exitCode) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return std::string();
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    for (const std::string& entry : environment) {
        const size_t equals = entry.find('=');
        SetEnvironmentVariableA(entry.substr(0, equals).c_str(), entry.substr(equals + 1).c_str());
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string commandLine = "\"" + windowsPathOf(CARROWICK_INSPECT_EXE) + "\" " + arguments;
    PROCESS_INFORMATION info = {};
    BOOL started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
    CloseHandle(writeEnd);
    std::string output;
    if (started) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(readEnd, buffer, sizeof buffer, &read, nullptr) && read) output.append(buffer, read);
        WaitForSingleObject(info.hProcess, 30000);
        GetExitCodeProcess(info.hProcess, &exitCode);
        CloseHandle(info.hProcess);
        CloseHandle(info.hThread);
    }
    CloseHandle(readEnd);
    return output;
}

class InspectPortsTest : public InstrumentTest {};

// What the updater's search sees in each world, in its order, and its choice: the first
// output carrying the name, WinMM before the hidden ports; an input is never listed.
TEST_F(InspectPortsTest, ListsTheOutputsInTheSearchsOrderAndItsChoice) {
    struct Case {
        const char* name;
        std::vector<std::pair<int, const char*>> devices;  // input?, name
        std::vector<std::string> shortNames;
        int chosen;  // -1: none
        DWORD exitCode;
    };
    const Case cases[] = {
        {"none", {}, {}, -1, 1},
        {"no instrument", {{0, "Gridlet"}, {1, "Lumetra"}}, {"Gridlet"}, -1, 1},
        {"instrument second", {{0, "2- Gridlet"}, {0, "MIDIOUT2 (Lumetra)"}, {0, "Lumetra"}},
         {"Gridlet", "MIDIOUT2 Lumetra", "Lumetra"}, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        winmm_.control().reset();
        for (const auto& device : c.devices) ASSERT_NE(0u, winmm_.control().addDevice(device.first, device.second));
        DWORD exitCode = 0xFFFF;
        const std::string output = runInspector("--ports --json", environment(), exitCode);
        EXPECT_EQ(c.exitCode, exitCode);
        Json report;
        ASSERT_NO_THROW(report = JsonParser(output).parseAll()) << output;
        EXPECT_EQ("Lumetra", report["instrument"].text);
        const std::vector<Json>& outputs = report["outputs"].items;
        ASSERT_EQ(c.shortNames.size(), outputs.size()) << output;
        for (size_t i = 0; i < outputs.size(); ++i) {
            EXPECT_EQ(static_cast<double>(i), outputs[i]["index"].number);
            EXPECT_EQ("winmm", outputs[i]["kind"].text);
            EXPECT_EQ(static_cast<double>(i), outputs[i]["ownIndex"].number);
            EXPECT_EQ(c.shortNames[i], outputs[i]["shortName"].text);
            EXPECT_EQ(c.shortNames[i].find("Lumetra") != std::string::npos, outputs[i]["carriesInstrument"].boolean);
        }
        if (c.chosen < 0)
            EXPECT_EQ(Json::Null, report["chosen"].kind);
        else
            EXPECT_EQ(static_cast<double>(c.chosen), report["chosen"].number);
        // The text form names the same choice.
        const std::string text = runInspector("--ports", environment(), exitCode);
        EXPECT_NE(std::string::npos, text.find(c.chosen < 0 ? std::string("the search would find no port")
                                                            : "the search would choose output " + std::to_string(c.chosen)))
            << text;
    }
}

// A device manager's ports come after every WinMM output, numbered on from them, and are
// chosen only when no WinMM output carries the name.
class NamedPorts : public VeltroDeviceList {
public:
    explicit NamedPorts(std::vector<std::string> names) : names_(std::move(names)) {}
    std::string getPortName(uint32_t index) override { return names_.at(index) + " long"; }
    uint32_t getPortCount() override { return static_cast<uint32_t>(names_.size()); }
    std::string getTypeName(uint32_t index) override { return names_.at(index); }
    MIDI::Output* openOutput(uint32_t) override { return nullptr; }
    MIDI::Input* openInput(uint32_t) override { return nullptr; }

private:
    std::vector<std::string> names_;
};

TEST_F(InspectPortsTest, HiddenPortsFollowTheWinmmOutputs) {
    winmm_.control().reset();
    ASSERT_NE(0u, winmm_.control().addDevice(0, "Gridlet"));
    NamedPorts manager({"Dusker", "Lumetra"});
    PortListing listing = listOutputPorts(&manager);
    ASSERT_EQ(3u, listing.outputs.size());
    EXPECT_FALSE(listing.outputs[0].hidden);
    EXPECT_TRUE(listing.outputs[2].hidden);
    EXPECT_EQ(2u, listing.outputs[2].index);
    EXPECT_EQ(1u, listing.outputs[2].ownIndex);
    EXPECT_EQ(2, listing.chosen);

    ASSERT_NE(0u, winmm_.control().addDevice(0, "Lumetra"));
    listing = listOutputPorts(&manager);
    ASSERT_EQ(4u, listing.outputs.size());
    EXPECT_EQ(1, listing.chosen) << "a WinMM output goes before any hidden port";
    EXPECT_TRUE(listing.outputs[3].carriesInstrument);
}

}  // namespace
