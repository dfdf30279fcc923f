#include "relay-mqtt/watch/CommandCounts.h"

void CommandCounts::refused(FrontEnd from, Refusal::Cause cause)
{
    const Cause counted = [cause] {
        switch (cause) {
        case Refusal::Cause::PortClosed:
            return Cause::PortClosed;
        case Refusal::Cause::QueueFull:
            return Cause::QueueFull;
        case Refusal::Cause::Interlock:
            return Cause::Interlock;
        case Refusal::Cause::HoldLimit:
            return Cause::HoldLimit;
        }
        return Cause::PortClosed;
    }();
    refused(from, counted);
}
