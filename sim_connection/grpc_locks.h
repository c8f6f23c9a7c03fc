// How gRPC's locks are taken in velko's processes (the client and the sims it serves).
#pragma once

namespace velko::sim_connection {

// Turns off the lock-order checks of the lock library that gRPC uses. Debian builds it with
// its debugging aids on, which track every lock taken in a graph: a tenth of the instructions
// of a step, on both ends of the connection. Safe to call at any time, from any thread.
void skip_lock_order_checks();

}  // namespace velko::sim_connection
