// The second stage of tarvik's main: start the library, open the device, perform the
// requested actions in their fixed order, shut the library down.
#pragma once

// Runs the flow for the settings the parse stage left in user_settings and returns the
// process exit code: 0 after a normal end ("exit" printed), kExitRequestUnfinished (19)
// when a request never finished (everything else done, "exit" included). Every other
// outcome ends the process from inside the flow or a callback, after printing why: the
// library error code of a failed step, 200/201/202 for the tool's own failures, and exit
// status 255 (-1) when the library cannot be started or shut down, the module cannot be
// opened or its worker does not run within 10 seconds.
// REQUIRES: main thread; parse stage done; called once.
int run_flow();
