#pragma once

#include "boardrequest.h"
#include "interlocks.h"

// What a request asks of a board that holds a state: the state to reach, the relays to verify,
// and what the interlocks add to it.
struct BoardPlan
{
    quint16 target = 0;
    quint16 care = 0;       // the relays verified afterwards
    quint16 switchedOn = 0; // the relays the request switches on
    quint16 partners = 0;   // the others of their groups, switched off first

    static BoardPlan of(const BoardRequest &request, quint16 current, const Interlocks &interlocks);
};
