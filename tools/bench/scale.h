// scale.h - what the scale series (scale.cpp) and the suite's times (suite.cpp)
// add to the benchmark beside bench.h.
#pragma once

#include <string>

// Reports the build and test times that ./test.sh recorded in times.json in
// each build folder of the checkout (build/, build-i686/, ...).
void SuiteTimes(const std::wstring& checkout);
// The checkout that holds this program's build folder.
std::wstring CheckoutOf(const wchar_t* self);
