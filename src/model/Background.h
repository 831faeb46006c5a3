#pragma once

#include <QByteArray>
#include <QImage>

// Scheduling for the threads that work behind the window, and memory they let go for it.
namespace background {

// The calling thread yields to the window's thread: it is scheduled as batch work, so waking it
// (a job handed over, a frame arrived) never preempts the thread that draws and handles input.
// `niceness` above 0 also gives it a smaller share of a contended core than threads at 0: the
// store's writes, which protect the only copy of a photo, go before thumbnail building.
// Failure is harmless (the thread keeps its normal scheduling) and not reported.
// Called on the thread itself.
void yieldToWindow(int niceness);

// Lets go of a large image or buffer on a thread behind the window. Giving a large block back to
// the system (munmap, or a free into an arena another thread holds) waits for the process's
// memory map or that arena, which other threads may hold for many milliseconds while they map,
// unmap or fault in theirs; the window's thread hands such blocks over instead of waiting. Small
// (under 256 KiB) or still shared ones are let go at once, and so is any while 32 MiB already
// wait: what waits here is bounded.
void release(QImage &&image);
void release(QByteArray &&bytes);

} // namespace background
