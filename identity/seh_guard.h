// Runs code under a structured exception frame, the way __try/__except with
// EXCEPTION_EXECUTE_HANDLER would in a compiler that has them: an exception
// that no inner frame handles (an access violation, an illegal instruction)
// ends the guarded call instead of the process.
//
// The frame is a real one in the thread's exception chain, so handlers inside
// the guarded code (system DLLs catching their own faults) still see their
// exceptions first. Frames between the fault and the guard are abandoned and
// their destructors do not run, so a fault may leak what they held.
// C++ exceptions must not leave `body`: catch them inside it.
//
// Any thread may use it; guards nest.
#pragma once

#include <windows.h>

// Calls body(context). True when it returned; false when a structured
// exception left it, with the exception's code in `*exception_code` if given.
bool RunGuarded(void (*body)(void* context), void* context, DWORD* exception_code = nullptr);
