// What tmx-web's handlers answer, free of any HTTP library: a status, a
// content type, header lines and a body, whole or streamed. The one file
// that binds the handlers to the HTTP server (web/HttpServer.cpp) turns it
// into the library's response.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tmx::web {

// Hands one piece of a streamed body to the client; false when it takes no
// more (the client went away, the server is stopping).
using ChunkSink = std::function<bool(const std::string &chunk)>;
// Writes a whole streamed body through the sink, piece by piece; true when
// the body is complete, false to break the reply off (the client sees an
// incomplete transfer).
using BodyStream = std::function<bool(const ChunkSink &sink)>;

struct Reply
{
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // When set, the body is sent from it (chunked) instead of from body. The
  // reply is dropped, and what the stream holds released, once it is sent
  // or broken off.
  BodyStream stream;
};

} // namespace tmx::web
