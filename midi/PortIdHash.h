#pragma once
// Port and device identifiers: 32-bit FNV-1 with each byte sign-extended, as the
// identifiers that other tools already store were computed.

#include <cstdint>
#include <string>

uint32_t portIdHash(const std::string& text);
