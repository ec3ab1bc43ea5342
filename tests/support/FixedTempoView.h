#pragma once

// The fixed-tempo view is the fakes' FakeView: include "Fakes.h" instead.
#include "Fakes.h"
