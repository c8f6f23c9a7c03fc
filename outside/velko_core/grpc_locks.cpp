#include "outside/velko_core/grpc_locks.h"

#include <absl/synchronization/mutex.h>

namespace velko::core {

void skip_lock_order_checks() {
  absl::SetMutexDeadlockDetectionMode(absl::OnDeadlockCycle::kIgnore);
}

}  // namespace velko::core
