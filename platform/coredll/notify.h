// notify.h - what the registry notifications share with the rest of the core
// library beyond sim.h.
#pragma once

#include "sim.h"

// A handle is being closed: if it is a registration that was never closed
// with RegistryCloseNotification, the registration ends with it.
void NotifyForgetHandle(HANDLE h);
