// scale.cpp - how the platform's costs grow with the processes and devices
// that share one wineserver.
#include "bench.h"

int ScaleRole(int, LPWSTR*)
{
    return -1;
}

void ScaleSeries(const wchar_t*) {}
