#pragma once

// Scheduling for the threads that work behind the window. Called on the thread itself.
namespace background {

// The calling thread yields to the window's thread: it is scheduled as batch work, so waking it
// (a job handed over, a frame arrived) never preempts the thread that draws and handles input.
// `niceness` above 0 also gives it a smaller share of a contended core than threads at 0: the
// store's writes, which protect the only copy of a photo, go before thumbnail building.
// Failure is harmless (the thread keeps its normal scheduling) and not reported.
void yieldToWindow(int niceness);

} // namespace background
