// What the timer service needs from the operating system beyond the standard library.
#pragma once

/// Keeps the module that holds the timer worker's code loaded until the process ends.
/// Best effort: where the code is not in an unloadable module there is nothing to pin.
void xtimerPinModule();

/// Called once by the worker thread before its first wait: asks the system to end the
/// worker's timed waits as close to their deadlines as it can.
void xtimerPrepareWorker();
