#include "common/http_async.h"

namespace velko::http {

awaitable<Response> perform_awaited(Request request, std::string hint) {
  // Named, not a closure inside the co_await: GCC 12 destroys such a temporary twice.
  std::function<Response(std::stop_token)> transfer =
      [request = std::move(request), hint = std::move(hint)](std::stop_token stop) {
        try {
          return perform(request, stop);
        } catch (const ResponseTooLarge&) {
          throw;
        } catch (const AnswerTooSlow&) {
          throw;
        } catch (const TransportError& error) {
          throw TransportError(error.url(), std::string(error.what()) + " " + hint);
        }
      };
  co_return co_await run_on_worker<Response>(std::move(transfer));
}

}  // namespace velko::http
