#pragma once

// display-send's exit statuses.
enum SendStatus : int {
    AllAnswered = 0,
    SomeDidNotAnswer = 1,
    PortFailed = 2,
    BadInput = 3,
    ValuesUnavailable = 4, // the upload went out whole, but some values showed the missing text
    SignalBase = 128,      // + the signal's number
};
