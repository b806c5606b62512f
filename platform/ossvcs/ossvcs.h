// ossvcs.h - what the pieces of the simulated OS-services library share.
#pragma once

#define WINCE_HOST_CRT
#define OSSVCS_API  // this library's own: exported by ossvcs.def
#include <handheld.h>
#include <handheld_journal.h>
#include <handheld_notify.h>
#include <wince.h>

// entry.cpp: a journal entry, formatted as printf does.
void Note(const wchar_t* pszFormat, ...);

// notify.cpp: the notification service, installed in the core library while
// this library is loaded.
void NotifyServiceStart();
void NotifyServiceStop();
