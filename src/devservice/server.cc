#include "devservice/server.h"

#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "devservice/digest.h"
#include "devservice/http_util.h"

namespace halden::devservice {
namespace {

// Larger bodies are refused by httplib itself (413); chunk bodies above the
// WAV limit but below this still get the service's own 400.
constexpr std::size_t maximumBodyBytes = 16 * 1024 * 1024;
constexpr std::size_t workerThreads = 16;

constexpr std::string_view controlPrefix = "/__control/";
constexpr std::string_view meetingsPrefix = "/api/meetings/";

std::optional<std::int64_t> chunkSequenceOf(const httplib::Request& request) {
  static const std::regex audioPath(R"(/api/meetings/[^/]+/audio)");
  if (!std::regex_match(request.path, audioPath) ||
      request.get_param_value_count("sequence") != 1) {
    return std::nullopt;
  }
  return parseSequence(request.get_param_value("sequence"));
}

LoggedRequest describe(const httplib::Request& request) {
  LoggedRequest entry;
  entry.method = request.method;
  entry.path = request.path;
  if (std::size_t mark = request.target.find('?'); mark != std::string::npos) {
    entry.query = request.target.substr(mark + 1);
  }
  entry.contentType = request.get_header_value("Content-Type");
  entry.origin = request.get_header_value("Origin");
  entry.cookie = request.get_header_value("Cookie");
  entry.bodySize = request.body.size();
  entry.bodySha256 = sha256Hex(request.body);
  return entry;
}

// The text with control bytes replaced, for the terminal: a request path can
// carry any decoded byte, escape sequences included.
std::string printable(const std::string& text) {
  std::string shown = text;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return shown;
}

}  // namespace

std::unique_ptr<DevServer> DevServer::create(const ServiceOptions& options,
                                             const std::filesystem::path& dataFolder,
                                             std::string* problem) {
  std::unique_ptr<httplib::Server> server;
  bool tls = !options.tlsCertificate.empty();
  if (tls) {
    auto secure = std::make_unique<httplib::SSLServer>(options.tlsCertificate.c_str(),
                                                       options.tlsKey.c_str());
    if (!secure->is_valid()) {
      *problem = "cannot use the certificate " + options.tlsCertificate.string() +
                 " with the key " + options.tlsKey.string();
      return nullptr;
    }
    server = std::move(secure);
  } else {
    server = std::make_unique<httplib::Server>();
  }
  return std::unique_ptr<DevServer>(
      new DevServer(std::move(server), tls, options.sessions, dataFolder));
}

DevServer::DevServer(std::unique_ptr<httplib::Server> server, bool tls,
                     std::vector<std::string> sessions, std::filesystem::path dataFolder)
    : server_(std::move(server)),
      tls_(tls),
      sessions_(std::move(sessions)),
      dataFolder_(std::move(dataFolder)) {
  // httplib's default adds SO_REUSEPORT, which would let a second service
  // share a fixed port unnoticed; only SO_REUSEADDR here.
  server_->set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server_->new_task_queue = [] { return new httplib::ThreadPool(workerThreads); };
  server_->set_payload_max_length(maximumBodyBytes);
  // An upload run sends hundreds of chunks over one connection.
  server_->set_keep_alive_max_count(1000);
  // Without it the small "100 Continue" and answer packets wait for delayed
  // ACKs: about 40 ms per chunk upload.
  server_->set_tcp_nodelay(true);
  auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    handle(request, response);
  };
  // Every method and path reaches handle(); "[\s\S]" also matches a path with
  // a decoded newline.
  const std::string any = R"([\s\S]*)";
  server_->Get(any, handler);
  server_->Post(any, handler);
  server_->Put(any, handler);
  server_->Patch(any, handler);
  server_->Delete(any, handler);
  server_->Options(any, handler);
}

DevServer::~DevServer() { stop(); }

int DevServer::bind(const std::string& host, int port) {
  if (port == 0) return server_->bind_to_any_port(host);
  return server_->bind_to_port(host, port) ? port : -1;
}

void DevServer::setOrigin(const std::string& origin) {
  state_ = std::make_unique<ServiceState>(origin, sessions_, dataFolder_);
}

bool DevServer::run() {
  {
    std::lock_guard lock(stopMutex_);
    if (stopping_) return true;
    runEntered_ = true;
  }
  bool listened = server_->listen_after_bind();
  runFinished_ = true;
  return listened;
}

void DevServer::stop() {
  bool entered = false;
  {
    std::lock_guard lock(stopMutex_);
    stopping_ = true;
    entered = runEntered_;
  }
  stopped_.notify_all();
  if (!entered) return;
  while (!server_->is_running() && !runFinished_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  server_->stop();
}

void DevServer::pause(int ms) {
  std::unique_lock lock(stopMutex_);
  stopped_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping_; });
}

void DevServer::handle(const httplib::Request& request, httplib::Response& response) {
  if (request.path.starts_with(controlPrefix)) {
    handleControl(*state_, request, response);
    return;
  }
  LoggedRequest entry = describe(request);
  std::optional<Fault> fault = state_->faults.take(request.path);
  bool answered = false;
  if (fault && fault->kind == FaultKind::delay) pause(fault->delayMs);
  if (fault) answered = applyFault(*fault, request, response);
  if (!answered) route(request, response);
  if (fault && fault->kind == FaultKind::setCookie) {
    response.set_header("Set-Cookie", std::string(sessionCookieName) + "=injected; Path=/");
  }
  entry.status = fault && fault->kind == FaultKind::drop ? 0 : response.status;
  std::string line =
      printable(entry.method + " " + entry.path + (entry.query.empty() ? "" : "?" + entry.query)) +
      " -> " + std::to_string(entry.status) +
      (fault ? " [fault " + faultKindName(fault->kind) + "]" : "") + "\n";
  std::fputs(line.c_str(), stderr);
  state_->log.append(std::move(entry));
}

void DevServer::route(const httplib::Request& request, httplib::Response& response) {
  const std::string& path = request.path;
  if (!path.starts_with("/api/")) return handlePages(*state_, request, response);
  if (request.method != "POST") return replyError(response, 405, "Use POST.");
  if (!state_->originAllowed(request)) {
    return replyError(response, 403, "This request did not come from the Halden workspace.");
  }
  if (path == "/api/desktop/signin") return handleSignin(*state_, request, response);
  if (path.starts_with(meetingsPrefix)) {
    if (!state_->authenticated(request)) {
      return replyError(response, 401, "Sign in to Halden to upload recordings.");
    }
    return handleMeetings(*state_, request, response);
  }
  replyError(response, 404, "Not found.");
}

bool DevServer::applyFault(const Fault& fault, const httplib::Request& request,
                           httplib::Response& response) {
  std::optional<std::int64_t> sequence = chunkSequenceOf(request);
  switch (fault.kind) {
    case FaultKind::html200:
      replyHtml(response, 200, "<html>Sign in</html>");
      return true;
    case FaultKind::wrongSequence:
      replyJson(response, 200, {{"ok", true}, {"sequence", sequence ? *sequence + 1 : 1}});
      return true;
    case FaultKind::missingOk:
      replyJson(response, 200,
                sequence ? nlohmann::json{{"sequence", *sequence}} : nlohmann::json::object());
      return true;
    case FaultKind::okAsNumber: {
      nlohmann::json body = {{"ok", 1}};
      if (sequence) body["sequence"] = *sequence;
      replyJson(response, 200, body);
      return true;
    }
    case FaultKind::status:
      response.status = fault.status;
      if (fault.body) {
        response.set_content(*fault.body, fault.contentType);
      } else {
        response.set_content(jsonText(fault.error ? nlohmann::json{{"error", *fault.error}}
                                                  : nlohmann::json::object()),
                             "application/json");
      }
      return true;
    case FaultKind::redirect:
      response.set_header("Location", "/login");
      if (fault.jsonRedirect) {
        replyError(response, 302, "Moved.");
      } else {
        replyHtml(response, 302, "<html><body><a href=\"/login\">Sign in</a></body></html>");
      }
      return true;
    case FaultKind::oversized:
      response.status = 200;
      response.set_content(oversizedBody(oversizedBodyBytes, sequence), "application/json");
      return true;
    case FaultKind::drop: {
      // Headers promise a body; part of an acknowledgement follows and the
      // provider then fails, which makes httplib close the connection.
      static const std::string partial = "{\"ok\":true,\"sequence\":";
      response.status = 200;
      response.set_content_provider(partial.size() * 4, "application/json",
                                    [](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                      if (offset == 0) sink.write(partial.data(), partial.size());
                                      return false;
                                    });
      return true;
    }
    case FaultKind::delay:
    case FaultKind::setCookie:
      return false;
  }
  return false;
}

}  // namespace halden::devservice
