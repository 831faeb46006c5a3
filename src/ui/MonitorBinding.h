#pragma once

#include <QObject>
#include <QPointer>

#include "state/Monitor.h"

// Points a view helper's `current` Monitor at `next` and moves its change subscription along:
// `onChange` (a member of `receiver`) runs after every Monitor change. Returns false, changing
// nothing, when `next` is already the current one.
template <typename Receiver, typename Slot>
bool rebindMonitor(Receiver *receiver, QPointer<Monitor> &current, Monitor *next, Slot onChange)
{
    if (next == current)
        return false;
    if (current)
        QObject::disconnect(current, nullptr, receiver, nullptr);
    current = next;
    if (current)
        QObject::connect(current, &Monitor::objectWillChange, receiver, onChange);
    return true;
}
