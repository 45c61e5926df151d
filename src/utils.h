// The shared helpers of the plug-in: character-set conversion and handle holders, the text
// codecs and the text filters of the transfers.
#pragma once

#include "utils_codecs.h"
#include "utils_conversion.h"
#include "utils_filter_charsets.h"
