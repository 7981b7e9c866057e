// Host buffers of exactly their documented size on the heap, so that ASan
// reports any access past their end. (A host variable: std::make_unique.)
#pragma once

#include <cstring>
#include <memory>
#include <string>

struct exact_buffer {
    explicit exact_buffer(std::size_t size, char fill = 'X')
        : bytes(new char[size]), length(size) {
        std::memset(bytes.get(), fill, size);
    }
    char* get() { return bytes.get(); }
    std::string str() const { return std::string(bytes.get(), strnlen(bytes.get(), length)); }
    std::string all() const { return std::string(bytes.get(), length); }
    std::unique_ptr<char[]> bytes;
    std::size_t length;
};

