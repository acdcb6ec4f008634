#pragma once
// The Windows headers of the kernel-streaming layer, in the order they need.
#include <windows.h>
#include <winioctl.h>
#include <ks.h>
#include <ksmedia.h>
#include <setupapi.h>
