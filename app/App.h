#pragma once
// What the application's parts share: the private result message and the module.

#include <windows.h>

// Posted by the update worker; wParam is the result code (0 = completed).
const UINT WM_UPDATE_RESULT = WM_USER + 1;

// The module instance kept by WinMain, for the progress dialog.
extern HINSTANCE g_dialogInstance;

class UpdaterDev;

// The firmware check flow, run inside WM_CREATE of the main window.
bool UN_FW_Check(const char* path, HWND mainWindow);
// True when the instrument can be reached: the device has both its ports, or an output
// of the combined list is named like it.
bool findInstrumentPort(UpdaterDev& device);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
