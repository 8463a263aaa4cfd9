// The heap allocations (operator new) the unit tests' process has made so
// far, so that a test can check that a step allocates nothing.  The
// counting replacement of operator new is in allocation_count_test.cc.
#pragma once

long test_allocations();
