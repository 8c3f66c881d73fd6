// Skips a test that needs a table or buffer larger than this build's sizes (tarnet/tnsizes.h):
// the unit tests also run with the microcontroller profile, whose tables are smaller. The test
// names the size it needs by its configuration name, never the profile:
//
//     TARNET_NEEDS_SIZE(TARNET_SOCKET_ENDPOINTS, 11);  // fills every endpoint of the default
//
// In a build whose size is large enough the macro does nothing.
#pragma once

#include <gtest/gtest.h>

#include "tarnet/tnsizes.h"

#define TARNET_NEEDS_SIZE(name, least)                                                         \
    do {                                                                                       \
        if ((name) < (least)) {                                                                \
            GTEST_SKIP() << "needs " #name " >= " << (least) << ", this build has " << (name); \
        }                                                                                      \
    } while (0)
