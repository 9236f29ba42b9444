#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace vintrace::test {

/// The whole content of a file; empty when it cannot be read.
inline std::vector<std::uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// The whole content of a file as text; empty when it cannot be read.
inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

/// Everything written to the temporary file `f` so far (it is rewound first).
inline std::string ReadBack(std::FILE* f) {
    std::rewind(f);
    std::string got;
    char buffer[1 << 16];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        got.append(buffer, n);
    }
    return got;
}

} // namespace vintrace::test
