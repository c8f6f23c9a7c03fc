// The servers the tests talk to: the local stand-in servers started as real processes for
// end-to-end tests, and a compute node on loopback inside the test process.
#pragma once

#include <sys/types.h>

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace velko::testing {

// A server executable started with "--port 0"; its URL is read from its first line
// ("... listening on http://HOST:PORT"). Stopped with SIGTERM when destroyed.
class ServerProcess {
 public:
  explicit ServerProcess(const std::vector<std::string>& argv);
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  const std::string& url() const { return url_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int output_ = -1;
  std::string url_;
};

// A compute node on loopback, served from a thread of the test: answers POST /ml/PATH as
// told for that path and keeps what it was sent.
class LoopbackNode {
 public:
  // A fixed answer.
  struct Answer {
    int status = 200;
    std::string body;
    std::string type = "application/json";
  };
  // An answer made for each request.
  using Respond = std::function<void(const httplib::Request&, httplib::Response&)>;

  // Every path answers 404 until it is told otherwise.
  LoopbackNode();
  ~LoopbackNode();
  LoopbackNode(const LoopbackNode&) = delete;
  LoopbackNode& operator=(const LoopbackNode&) = delete;

  // How POST /ml/`path` is answered; the path "*" stands for every path without its own.
  void answer(const std::string& path, Answer answer);
  void respond(const std::string& path, Respond respond);
  // Called with the path of each request as it arrives, before it is answered.
  void on_request(std::function<void(const std::string& path)> hook);

  // A request as it came.
  struct Seen {
    std::string path;  // the whole path, "/ml/analysis-actions"
    std::string body;
    std::multimap<std::string, std::string> headers;
    std::string header(const std::string& name) const;
  };

  std::string url() const;
  // The paths asked for (the part after /ml/), in order, and the bodies sent to one of them.
  std::vector<std::string> paths();
  std::vector<std::string> bodies(const std::string& path);
  // Every request so far.
  std::vector<Seen> seen();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::mutex mutex_;
  std::map<std::string, Respond> responders_;
  std::function<void(const std::string&)> hook_;
  std::vector<std::string> paths_;
  std::map<std::string, std::vector<std::string>> bodies_;
  std::vector<Seen> seen_;
};

}  // namespace velko::testing
