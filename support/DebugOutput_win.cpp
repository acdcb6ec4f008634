#include "support/Diagnostics.h"

#include <windows.h>

void writeDebugOutput(const char* text) { OutputDebugStringA(text); }
