#include "dev/dev_platform.h"

#include <mutex>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <httplib.h>

#include "common/json_text.h"
#include "dev/http_service.h"
#include "dev/platform_call.h"
#include "dev/platform_routes.h"
#include "dev/platform_state.h"

namespace velko::dev {

namespace {

// Bounds of what the server reads of a request.
constexpr std::size_t kMaxTargetBytes = 2048;
// Most bytes read and dropped after a body outgrew its bound.
constexpr std::size_t kMaxDrainBytes = std::size_t{1} << 20;

// The options, once they are checked.
PlatformOptions checked(PlatformOptions options) {
  check_options(options);
  return options;
}

}  // namespace

// The platform's state, its routes and its server.
struct DevPlatform::Impl {
  explicit Impl(PlatformOptions given)
      : options(checked(std::move(given))),
        state(options),
        routes(state),
        server("platform", [this](httplib::Server& s) { install(s); }) {}

  // Sets up a server's handlers, bounds and log.
  void install(httplib::Server& server);
  // Answers what can be refused before the body is read.
  httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res);
  // Answers a request whose body has been read.
  void serve(const httplib::Request& req, httplib::Response& res, std::string body);
  // The detail of a body beyond its bound.
  std::string too_large_detail() const {
    return fmt::format("The request body is larger than {} bytes", options.max_body_bytes);
  }

  PlatformOptions options;
  PlatformState state;
  PlatformRoutes routes;
  BackgroundServer server;
};

void DevPlatform::Impl::install(httplib::Server& s) {
  s.set_payload_max_length(options.max_body_bytes);
  s.set_pre_routing_handler(
      [this](const httplib::Request& req, httplib::Response& res) { return guard(req, res); });
  // Every path reaches serve(), which routes by the raw target.
  const std::string any_path = "[\\s\\S]*";
  auto plain = [this](const httplib::Request& req, httplib::Response& res) {
    serve(req, res, req.body);
  };
  auto with_body = [this](const httplib::Request& req, httplib::Response& res,
                          const httplib::ContentReader& reader) {
    std::string body;
    bool too_large = false;
    std::size_t drained = 0;
    bool read = reader([&](const char* data, std::size_t size) {
      if (!too_large && body.size() + size <= options.max_body_bytes) {
        body.append(data, size);
        return true;
      }
      // Reads a little past the bound so that the client, still sending, gets the answer
      // rather than a reset connection.
      too_large = true;
      drained += size;
      return drained <= kMaxDrainBytes;
    });
    if (too_large || !read) {
      // The server sets 413 itself when the declared length is beyond the bound.
      res.set_header("Connection", "close");
      if (too_large || res.status == 413) {
        write_detail(res, 413, too_large_detail());
      } else {
        write_detail(res, 400, "The request body could not be read");
      }
      return;
    }
    serve(req, res, std::move(body));
  };
  s.Get(any_path, plain);
  s.Delete(any_path, plain);
  s.Post(any_path, with_body);
  s.Put(any_path, with_body);
  s.Patch(any_path, with_body);

  // Gives the server's own refusals a detail too.
  install_common_handlers(s, "platform", options.log, [this](int status) {
    if (status == 404) {
      return std::string("There is no such route; the platform's API is under /v1");
    }
    if (status == 413) return too_large_detail();
    return std::string();
  });
}

// Refuses what needs no body to be refused: over-long targets, forms, missing tokens.
httplib::Server::HandlerResponse DevPlatform::Impl::guard(const httplib::Request& req,
                                                          httplib::Response& res) {
  if (req.target.size() > kMaxTargetBytes) {
    return refuse_early(res, 414,
                        fmt::format("The request path is longer than {} bytes", kMaxTargetBytes));
  }
  if (req.is_multipart_form_data()) {
    return refuse_early(res, 415, "Send JSON (or the raw bytes of a file upload), not a form");
  }
  if (!options.token) return httplib::Server::HandlerResponse::Unhandled;
  Call call;
  try {
    call = parse_target(req.method, req.target);
  } catch (const HttpRefusal& refusal) {
    return refuse_early(res, refusal.status(), refusal.what());
  }
  if (call.segments.front() != "v1") return httplib::Server::HandlerResponse::Unhandled;
  return refuse_unless_token(req, res, *options.token,
                             "This platform needs a token: set VELKO_API_TOKEN",
                             "The platform did not accept the token; check VELKO_API_TOKEN");
}

void DevPlatform::Impl::serve(const httplib::Request& req, httplib::Response& res,
                              std::string body) {
  Reply reply;
  try {
    Call call = parse_target(req.method, req.target);
    call.body = std::move(body);
    reply = routes.route(call);
  } catch (const HttpRefusal& refusal) {
    write_detail(res, refusal.status(), refusal.what());
    return;
  }
  res.status = reply.status;
  res.set_content(json_text::to_json(reply.body), "application/json");
}

DevPlatform::DevPlatform(PlatformOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

DevPlatform::~DevPlatform() { stop(); }

int DevPlatform::start(const std::string& host, int port) {
  return impl_->server.start(host, port);
}

void DevPlatform::stop() { impl_->server.stop(); }

boost::json::value DevPlatform::state() const {
  std::lock_guard lock(impl_->state.mutex);
  return impl_->state.snapshot();
}

}  // namespace velko::dev
