// An HTTP request awaited from the event loop: it runs on a worker thread and is stopped at
// once when the awaiting operation is cancelled.
#pragma once

#include <string>

#include "common/async.h"
#include "common/http.h"

namespace velko::http {

// Performs `request` on the worker pool. A transport error (other than an answer too large or
// too slow, which came from a server that was reached) gets `hint` appended to its message,
// e.g. "(is the platform running? ...)".
awaitable<Response> perform_awaited(Request request, std::string hint);

}  // namespace velko::http
