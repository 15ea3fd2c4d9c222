// Moved to common/testing/test_support_win.h (same names in suite::testing); kept so that tests
// still including it build until they include the new header.
#pragma once
#include "common/testing/test_support_win.h"
