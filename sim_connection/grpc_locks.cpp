#include "sim_connection/grpc_locks.h"

#include <absl/synchronization/mutex.h>

namespace velko::sim_connection {

void skip_lock_order_checks() {
  absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
}

}  // namespace velko::sim_connection
