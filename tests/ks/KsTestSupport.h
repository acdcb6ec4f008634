#pragma once
// Shared set-up of the kernel-streaming tests: a simulated driver, a capture of the
// debugger output, and small builders of driver replies.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "ks/KsMidi.h"
#include "ks/KsPin.h"
#include "sim/ksdriver/SimKsDriver.h"
#include "tests/common/DebugCapture.h"

namespace kstest {

// Connects a pin as a standard music pin of the given subformat.
inline HRESULT ConnectPin(CKsPin* pin, const GUID& subFormat) {
    BYTE block[CKsPin::kConnectSize] = {};
    auto* connect = reinterpret_cast<KSPIN_CONNECT*>(block);
    connect->Interface.Set = ToGuid(ksbytes::kInterfaceSetStandard);
    connect->Medium.Set = ToGuid(ksbytes::kMediumSetStandard);
    auto* format = reinterpret_cast<KSDATAFORMAT*>(connect + 1);
    format->FormatSize = sizeof(KSDATAFORMAT);
    format->MajorFormat = ToGuid(ksbytes::kDataFormatTypeMusic);
    format->SubFormat = subFormat;
    return pin->SetPinConnect(connect, sizeof block);
}

// One stream request: a header over a small buffer and its own event.
struct Stream {
    explicit Stream(ULONG frameExtent) : header() {
        header.Size = sizeof header;
        header.PresentationTime.Numerator = 1;
        header.PresentationTime.Denominator = 1;
        header.FrameExtent = frameExtent;
        header.Data = buffer;
        overlapped = OVERLAPPED();
        overlapped.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    }
    ~Stream() { CloseHandle(overlapped.hEvent); }
    bool Signalled(DWORD ms) { return WaitForSingleObject(overlapped.hEvent, ms) == WAIT_OBJECT_0; }
    KSSTREAM_HEADER header;
    OVERLAPPED overlapped;
    BYTE buffer[40] = {};
};

// The device manager's test admits the hidden pins; the default one does not.
inline bool AcceptHiddenRange(const KSDATARANGE* range) {
    return FromGuid(range->MajorFormat) == ksbytes::kDataFormatTypeMusic &&
           IsEqualGUID(range->SubFormat, simks::kHiddenMidiSubFormat) &&
           ksbytes::ReadGuid(reinterpret_cast<const uint8_t*>(range) + 64) == ksbytes::kMusicTechnologyPort;
}

// Data ranges that pass the default test.
inline simks::Bytes MidiPortRange(uint32_t formatSize = 96) {
    return simks::MusicRange(simks::kMidiSubFormat, simks::kPortTechnology, formatSize);
}

inline simks::Bytes Header(uint32_t count, size_t itemBytes) {
    simks::Bytes out(8);
    uint32_t size = static_cast<uint32_t>(8 + itemBytes);
    std::memcpy(out.data(), &size, 4);
    std::memcpy(out.data() + 4, &count, 4);
    return out;
}

inline simks::PropertyFault Replace(const simks::Bytes& reply, int64_t probeSize = -1) {
    simks::PropertyFault f;
    f.kind = simks::PropertyFault::Replace;
    f.reply = reply;
    f.probeSize = probeSize;
    return f;
}

inline simks::PropertyFault Fault(simks::PropertyFault::Kind kind, const simks::Bytes& reply = {},
                                  int64_t probeSize = -1) {
    simks::PropertyFault f;
    f.kind = kind;
    f.reply = reply;
    f.probeSize = probeSize;
    return f;
}

inline long long ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count();
}

// The longest a request may take when the driver lets it hang: the time limit, the wait
// for the cancellation, and room for a loaded machine.
constexpr long long kHungRequestBoundMs = CKsIrpTarget::kRequestTimeoutMs + CKsIrpTarget::kCancelTimeoutMs + 3000;

inline simks::PropertyFault Pend() {
    simks::PropertyFault f;
    f.kind = simks::PropertyFault::Pend;
    return f;
}

class KsTest : public ::testing::Test {
protected:
    // Level-1 lines, without the "\r\n" that follows each.
    std::vector<std::string> Shown() const {
        std::vector<std::string> out;
        for (const std::string& line : capture.lines())
            if (line != "\r\n") out.push_back(line);
        return out;
    }
    bool Shows(const std::string& text) const {
        std::vector<std::string> lines = capture.lines();
        for (size_t i = 0; i + 1 < lines.size(); ++i)
            if (lines[i] == text && lines[i + 1] == "\r\n") return true;
        return false;
    }
    // A filter opened on a device of the driver.
    CKsFilter* OpenFilter(const std::string& path) {
        HRESULT outcome = E_FAIL;
        CKsFilter* filter = new CKsFilter(path.c_str(), &outcome);
        EXPECT_EQ(outcome, S_OK);
        EXPECT_EQ(filter->Instantiate(), S_OK);
        return filter;
    }

    simks::SimKsDriver driver;
    DebugCapture capture;
};

}  // namespace kstest
