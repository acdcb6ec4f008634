// The control case: a program that imports winmm the ordinary way. Under the same
// conditions it loads a winmm.dll planted beside it, so a test that sees Carrowick.exe
// not load the planted copy has proved something.

#include <windows.h>
#include <mmsystem.h>

int main() { return midiOutGetNumDevs() == 12345 ? 1 : 0; }
