// The straightforward per-step trigger line: every step of every column, one bit at a time,
// exactly as the rule reads (inverted: each level read as 255 minus itself). Any faster fill
// must match it bit for bit.
#pragma once

#include <cstdint>

#include "engrave/TriggerLine.h"

class CxImage;

void FillTriggerLineReference(const engrave::TriggerLineInput& line, const CxImage* picture,
                              uint32_t* bits);
