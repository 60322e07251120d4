#pragma once

#include <string>

// A sample rate as the capture lines print it: the decimal integer of the
// rate truncated toward zero ("47999" for 47999.9). Any double is accepted:
// a rate beyond the 64-bit integers prints all its integer digits, and a rate
// that is not finite prints "nan", "inf" or "-inf".
std::string rateText(double rate);
