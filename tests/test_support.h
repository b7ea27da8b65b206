// Shared fixture: every test starts on a new, clean simulated machine.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/core.h"

// Clears the product's process-wide state, as a new process would have it.
void ResetProductGlobals();

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};
