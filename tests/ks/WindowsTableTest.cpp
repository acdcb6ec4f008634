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

// Each entry reaches the system's own function: answers only the real SetupAPI and
// registry give (this machine has no kernel-streaming devices, so they are its answers to
// requests that cannot succeed, and to the one that must).
TEST(WindowsTable, SetupApiAndTheRegistryAreReachedAtRunTime) {
    const KsOsApi& os = *WindowsKsOsApi();
    GUID audio = ToGuid(ksbytes::kKsCategoryAudio);
    HDEVINFO set = os.SetupDiGetClassDevsA(&audio, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE) << GetLastError();
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_FALSE(os.SetupDiEnumDeviceInterfaces(set, NULL, &audio, 4096, &data));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    data.cbSize = 1;
    EXPECT_FALSE(os.SetupDiEnumDeviceInterfaces(set, NULL, &audio, 0, &data));
    // Windows says ERROR_INVALID_USER_BUFFER, Wine ERROR_INVALID_PARAMETER.
    const DWORD badSize = GetLastError();
    EXPECT_TRUE(badSize == ERROR_INVALID_USER_BUFFER || badSize == ERROR_INVALID_PARAMETER) << badSize;
    EXPECT_TRUE(os.SetupDiDestroyDeviceInfoList(set));

    HDEVINFO list = os.SetupDiCreateDeviceInfoList(NULL, NULL);
    ASSERT_NE(list, INVALID_HANDLE_VALUE) << GetLastError();
    data.cbSize = sizeof data;
    EXPECT_FALSE(os.SetupDiOpenDeviceInterfaceA(list, "\\\\?\\carrowick#no#such#device", 0, &data));
    EXPECT_NE(GetLastError(), DWORD(ERROR_MOD_NOT_FOUND));
    EXPECT_TRUE(os.SetupDiDestroyDeviceInfoList(list));

    HKEY services = NULL;
    ASSERT_EQ(os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services", 0, KEY_READ, &services),
              ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(os.RegQueryValueExA(services, "carrowick-no-such-value", NULL, NULL, NULL, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(os.RegCloseKey(services), ERROR_SUCCESS);
    HKEY missing = NULL;
    EXPECT_EQ(os.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\carrowick-no-such-service", 0,
                               KEY_READ, &missing),
              ERROR_FILE_NOT_FOUND);
}

TEST(WindowsTable, MissingPathDoesNotOpen) {
    HRESULT outcome;
    CKsFilter* filter = new CKsFilter("\\\\?\\carrowick#no#such#device", &outcome);
    EXPECT_EQ(filter->Instantiate(), E_FAIL);
    EXPECT_EQ(filter->GetHandle(), INVALID_HANDLE_VALUE);
    filter->Release();
}

}  // namespace
