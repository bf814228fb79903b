#include "support/TestBytes.h"

std::vector<uint8_t> Hex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        bytes.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return bytes;
}
