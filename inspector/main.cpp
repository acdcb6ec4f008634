// carrowick-inspect [--json] FILE | --version: prints what the updater will send from a firmware file.
// Exit code 0 when the instrument would receive the file's messages unchanged, 1 when
// anything would be left out or could not be sent, 2 when the file cannot be read.
// carrowick-inspect [--json] --ports (Windows): the outputs the updater's port search sees,
// in its order, and the one it would choose. Exit code 0 when it would find one, else 1.

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define fileno _fileno
#define close _close
static const char kNullDevice[] = "NUL";
#else
#include <unistd.h>
static const char kNullDevice[] = "/dev/null";
#endif

#include "CarrowickVersion.h"
#include "device/FirmwareImage.h"
#include "inspector/FirmwareReport.h"
#if defined(_WIN32)
#include "devices/USBDeviceManager.h"
#include "inspector/PortList.h"
#endif

namespace {

// The SysEx rebuilding reports every byte it leaves out on standard output; the report
// counts them instead, so that output is kept out of the report's own.
class QuietStdout {
public:
    QuietStdout() {
        std::fflush(stdout);
        saved_ = dup(fileno(stdout));
        FILE* null = std::fopen(kNullDevice, "w");
        if (null) {
            dup2(fileno(null), fileno(stdout));
            std::fclose(null);
        }
    }
    ~QuietStdout() {
        std::fflush(stdout);
        if (saved_ >= 0) {
            dup2(saved_, fileno(stdout));
            close(saved_);
        }
    }

private:
    int saved_;
};

bool readImage(const std::string& path, FirmwareImage& image) {
#if defined(_WIN32)
    return image.load(path.c_str());
#else
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || bytes.size() > 0xFFFFFFFFull) return false;
    image.assign(bytes.data(), static_cast<uint32_t>(bytes.size()));
    return true;
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("carrowick-inspect %s\n", CARROWICK_VERSION);
        return 0;
    }
    bool json = false;
    bool ports = false;
    std::vector<std::string> paths;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0)
            json = true;
#if defined(_WIN32)
        else if (std::strcmp(argv[i], "--ports") == 0)
            ports = true;
#endif
        else
            paths.push_back(argv[i]);
    }
#if defined(_WIN32)
    if (ports && paths.empty()) {
        // The manager the updater makes, so that its hidden ports are seen as the search sees them.
        USBDeviceManager manager("");
        PortListing listing = listOutputPorts(&manager);
        std::fputs((json ? formatPortsJson(listing) : formatPortsText(listing)).c_str(), stdout);
        return listing.chosen < 0 ? 1 : 0;
    }
#endif
    if (ports || paths.size() != 1 || paths[0].empty()) {
#if defined(_WIN32)
        std::fprintf(stderr, "usage: carrowick-inspect [--json] FIRMWARE-FILE | --version\n       carrowick-inspect [--json] --ports\n");
#else
        std::fprintf(stderr, "usage: carrowick-inspect [--json] FIRMWARE-FILE | --version\n");
#endif
        return 2;
    }
    const std::string& path = paths[0];
    FirmwareImage image;
    if (!readImage(path, image)) {
        std::fprintf(stderr, "carrowick-inspect: cannot read %s\n", path.c_str());
        return 2;
    }
    FirmwareReport report;
    {
        QuietStdout quiet;
        report = inspectFirmware(image);
    }
    std::string text = json ? formatReportJson(report, path) : formatReportText(report, path);
    std::fputs(text.c_str(), stdout);
    return report.sentUnchanged() ? 0 : 1;
}
