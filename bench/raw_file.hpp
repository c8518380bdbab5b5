// Reading the raw little-endian arrays the timing drivers take (written by NumPy's tofile).
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

template <class T>
std::vector<T> read_raw(const char* path, std::size_t count) {
    std::vector<T> values(count);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(values.data()),
            static_cast<std::streamsize>(count * sizeof(T)));
    if (!in) {
        std::fprintf(stderr, "cannot read %zu values from %s\n", count, path);
        std::exit(1);
    }
    return values;
}
