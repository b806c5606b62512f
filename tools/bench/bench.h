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
