// A test on the fake platform: a fresh platform for every test, and at its
// end no script mismatch and nothing left open.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/fake.h"

// Byte strings join with +, in every test.
using fake::operator+;

class FakePlatformTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
    void TearDown() override {
        for (const std::string& error : fake::errors()) ADD_FAILURE() << error;
        if (expect_balanced) {
            EXPECT_TRUE(fake::balanced()) << "a port, socket, lookup, heap block or start-up leaked";
        }
        fake::reset();
    }
    // Set to false in a test that hands a port or socket to the host on purpose.
    bool expect_balanced = true;
};

// A heap buffer of exactly `size` bytes, filled with `fill`, so that ASan
// reports any write past its end.
struct exact_buffer {
    explicit exact_buffer(std::size_t size, char fill = 'X')
        : bytes(new char[size]), length(size) {
        std::memset(bytes.get(), fill, size);
    }
    char* get() { return bytes.get(); }
    std::string str() const { return std::string(bytes.get(), strnlen(bytes.get(), length)); }
    std::unique_ptr<char[]> bytes;
    std::size_t length;
};
