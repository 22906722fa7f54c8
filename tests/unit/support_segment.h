// Test fixture: the master's real frame port on an in-process virtual segment.
#pragma once
#include <gtest/gtest.h>

#include "sim/inproc_capture.h"
#include "slave/context.h"

class SegmentTest : public ::testing::Test {
protected:
    // Opens the port on a fresh segment of `slaves` simulated slaves.
    void StartSegment(int slaves, const SimFaultSettings& faults = SimFaultSettings{});
    void TearDown() override;
    // Resets the master context to its power-on state (closed port, empty tables).
    static void ResetMaster();

    SimSegment* segment = nullptr;
    SimWire wire{};
    InprocAdapter adapter{};
};
