#pragma once

// Sample-track utilities: linear resampling, level measures and the peak
// normaliser used when a recording is written.

#include "audio/levels.hpp"
#include "audio/normalize.hpp"
#include "audio/resample.hpp"
