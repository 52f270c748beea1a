#pragma once

// Lets at least `milliseconds` pass while the thread's event loop keeps processing its events
// (input, painting, serial notifications). Handlers run during the wait may wait themselves.
// Zero or less returns at once without processing anything.
void pacedWait(int milliseconds);
