// What the fiber scheduler does differently on each system, whatever its poller.
#pragma once

// True when a new fiber runs before the fibers already ready.
bool newFibersFirst();
