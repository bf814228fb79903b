// Byte vectors written as hex in tests: "01 04 00 00" or "01040000".
#pragma once

#include <cstdint>
#include <string>
#include <vector>

std::vector<uint8_t> Hex(const std::string& text);
