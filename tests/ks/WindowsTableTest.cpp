#include <gtest/gtest.h>

#include "ks/KsMidi.h"
#include "ks/KsOsApi.h"

namespace {

// Without a simulated driver the layer talks to the system itself.
TEST(WindowsTable, IsInForceWithoutASimulatedDriver) { EXPECT_EQ(&KsOs(), WindowsKsOsApi()); }

TEST(WindowsTable, LoadsKsUserFromTheSystemFolder) {
    const KsOsApi& os = *WindowsKsOsApi();
    HMODULE ksuser = os.LoadKsUser();
    ASSERT_NE(ksuser, nullptr);
    EXPECT_NE(os.GetProcAddress(ksuser, "KsCreatePin"), nullptr);
    char path[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameA(ksuser, path, MAX_PATH), 0u);
    char system[MAX_PATH] = {};
    ASSERT_GT(GetSystemDirectoryA(system, MAX_PATH), 0u);
    EXPECT_EQ(_strnicmp(path, system, strlen(system)), 0) << path;
}

TEST(WindowsTable, SetupApiIsReachedAtRunTime) {
    const KsOsApi& os = *WindowsKsOsApi();
    GUID audio = ToGuid(ksbytes::kKsCategoryAudio);
    HDEVINFO set = os.SetupDiGetClassDevsA(&audio, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(os.SetupDiDestroyDeviceInfoList(set));
    // Whatever the machine has, enumeration ends and the list tears down.
    TKsFilterList<CKsMidiFilter> list(audio);
    list.EnumerateDevices();
    // A record stays only with its filter.
    EXPECT_EQ(list.GetFilterCount(), list.GetDeviceCount());
}

TEST(WindowsTable, MissingPathDoesNotOpen) {
    HRESULT outcome;
    CKsFilter* filter = new CKsFilter("\\\\?\\carrowick#no#such#device", &outcome);
    EXPECT_EQ(filter->Instantiate(), E_FAIL);
    EXPECT_EQ(filter->GetHandle(), INVALID_HANDLE_VALUE);
    filter->Release();
}

}  // namespace
