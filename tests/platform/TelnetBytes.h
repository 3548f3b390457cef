// Bytes of telnet commands written as numbers, for the telnet tests.
#pragma once

#include <initializer_list>
#include <string>

inline std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values)
        s += static_cast<char>(v);
    return s;
}
