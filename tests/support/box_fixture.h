// A box emulator in a fresh directory for the length of one test.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "box.h"
#include "pty_peer.h"

class BoxTest : public ::testing::Test {
protected:
    // Starts a fresh box with `cfg`, both links in the test's directory; a box
    // already running there gives up its links first.
    void start_box(wqbox::config cfg = {}) {
        cfg.com_dir = dir.path();
        cfg.bt_dir = dir.path();
        std::string error;
        box.reset();
        box = wqbox::emulator::start(cfg, &error);
        ASSERT_TRUE(box) << error;
    }
    // `spelling` as on wqbox's command line, e.g. "probe:silent@1".
    void start_box_with_fault(const char* spelling, wqbox::config cfg = {}) {
        std::string error;
        cfg.faults.emplace_back();
        ASSERT_TRUE(wqbox::parse_fault(spelling, &cfg.faults.back(), &error)) << spelling << ": " << error;
        start_box(cfg);
    }
    std::string path(const std::string& name) const { return dir.path() + "/" + name; }

    temp_dir dir;
    // Where the library under test looks for the box's links.
    scoped_env com_dir{"WQ_COM_DIR", dir.path()};
    scoped_env bt_dir{"WQ_BT_DIR", dir.path()};
    std::unique_ptr<wqbox::emulator> box;
};
