#pragma once

// usb16relay-ctl's exit statuses, whichever way it reaches the board.
enum ExitStatus : int {
    kExitDone = 0,
    kExitUsage = 1,
    kExitCannotOpen = 2,
    kExitNoAnswer = 3,
    kExitWrongState = 4,
    kExitSignalBase = 128,
};
