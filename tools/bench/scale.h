// scale.h - what the scale series (scale.cpp) and the suite's times (suite.cpp)
// add to the benchmark beside bench.h.
#pragma once

// Reports the build and test times that ./test.sh recorded in times.json in
// each build folder beside this program's own (build/, build-i686/, ...).
void SuiteTimes(const wchar_t* self);
