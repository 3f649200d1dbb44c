// A test of something on the process's console. Each test starts on a fresh console and
// leaves no program running on it, so that no program, text, mode, size or title of one
// test reaches another, in whatever order they run.
#pragma once

#include <gtest/gtest.h>

#include "support/ConsoleSupport.h"

namespace test {

class ConsoleFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(ConsoleHost::Instance(), nullptr);
        ProvideConsoleTerminal();  // as the session program does at its start
        FreshConsole();
    }
    void TearDown() override { FreshConsole(); }
};

}  // namespace test
