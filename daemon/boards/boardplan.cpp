#include "boardplan.h"

#include "relaymask.h"

// What `request` asks of a board that holds `current`: the state to reach and the relays to
// verify. A relay switched on sends the others of its group off first, verified off too.
BoardPlan BoardPlan::of(const BoardRequest &request, quint16 current, const Interlocks &interlocks)
{
    BoardPlan plan;
    plan.target = current;
    switch (request.kind) {
    case BoardRequest::Kind::Switch:
    case BoardRequest::Kind::SwitchSome:
        plan.care = request.kind == BoardRequest::Kind::Switch
                        ? RelayMask::relay(request.relay).bits()
                        : request.mask;
        plan.target = request.on ? (current | plan.care) : (current & ~plan.care);
        break;
    case BoardRequest::Kind::Toggle:
    case BoardRequest::Kind::Pulse:
    case BoardRequest::Kind::ToggleSome:
        plan.care = request.kind == BoardRequest::Kind::ToggleSome
                        ? request.mask
                        : RelayMask::relay(request.relay).bits();
        plan.target = current ^ plan.care;
        break;
    case BoardRequest::Kind::Mask:
        plan.care = RelayMask::all().bits();
        plan.target = request.mask;
        return plan; // checked whole against the groups before
    case BoardRequest::Kind::Read:
        return plan;
    }
    plan.switchedOn = plan.target & plan.care;
    for (const int relay : RelayMask(plan.switchedOn).relays())
        plan.partners |= interlocks.partners(relay);
    plan.partners &= ~plan.switchedOn;
    plan.target &= ~plan.partners;
    plan.care |= plan.partners & current;
    return plan;
}
