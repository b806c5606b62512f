// bench.h - what the benchmark's two files share.
#pragma once

// The host's <stdio.h> for printing; the device's stream functions are taken
// from coredll by name where the replay needs them.
#define WINCE_HOST_CRT
#include <stdio.h>
#include <wince.h>
#include <handheld.h>
#include <handheld_journal.h>

#include <string>
#include <vector>

// Performs again the registry, file, radio, kernel and notification
// operations that these journal entries record; the others are skipped.
// Returns how many operations it performed.
size_t Replay(const std::vector<handheld::JournalEntry>& entries);
double NowUs();
double Median(std::vector<double> v);

// Prints one figure as "NAME: VALUE UNIT (goal GOAL; DETAIL)" and keeps it for
// the run's JSON. An empty detail is left out.
void Report(const std::string& name, double value, const char* unit, const char* goal,
            const std::string& detail);

// The scale series (scale.cpp): ScaleRole runs a child's part and returns its
// exit code when the command line names one, or -1; ScaleSeries prints them.
int ScaleRole(int argc, LPWSTR* argv);
void ScaleSeries(const wchar_t* self);
