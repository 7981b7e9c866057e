// Host buffers of exactly their documented size on the heap, so that ASan
// reports any access past their end.
#pragma once

#include <cstring>
#include <memory>
#include <string>

// `size` bytes filled with `fill`.
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

// A host variable of exactly sizeof(T) bytes on the heap.
template <class T>
struct exact_value {
    explicit exact_value(T initial) : buffer(sizeof(T)) {
        std::memcpy(buffer.get(), &initial, sizeof(T));
    }
    T* get() { return reinterpret_cast<T*>(buffer.get()); }
    T value() const {
        T read;
        std::memcpy(&read, buffer.bytes.get(), sizeof(T));
        return read;
    }
    exact_buffer buffer;
};
